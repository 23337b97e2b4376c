// Attribute names of Python objects as interned engine names.
#pragma once

#include <Python.h>

#include "engine/attr_name.hpp"

namespace corvane {

// The interned name of a Python str (its bytes as `attribute_name` gives
// them).  Each name gets one str of the interpreter as its object, kept for
// good: the interpreter's interned str of that text (the object that names
// written in source code arrive as).  Such a str is found by address after
// its first use, which lets attribute reads compare addresses.  Requires
// the interpreter lock; raises (`PyErrorSet`) only when memory runs out.
AttrName attr_name_of(PyObject* name);

// True when `name` is the recorded object of its name: a read by it that
// matches no name by address matches none by text either.  Requires the
// interpreter lock.
bool attr_name_known(PyObject* name);

}  // namespace corvane
