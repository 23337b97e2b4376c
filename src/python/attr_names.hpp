// Attribute names of Python objects as interned engine names.
#pragma once

#include <Python.h>

#include <optional>

#include "engine/attr_name.hpp"

namespace corvane {

// The interned name of a Python str (its bytes as `attribute_name` gives
// them).  Each name gets one str of the interpreter as its object, kept for
// good: the interpreter's interned str of that text (the object that names
// written in source code arrive as).  Such a str is found by address after
// its first use, which lets attribute reads compare addresses.  Requires
// the interpreter lock; raises (`PyErrorSet`) only when memory runs out.
AttrName attr_name_of(PyObject* name);

// The name whose recorded object `name` is, if any: a read by such a str
// that matches no name by address matches none by text either.  Requires
// the interpreter lock.
std::optional<AttrName> known_attr_name(PyObject* name);

}  // namespace corvane
