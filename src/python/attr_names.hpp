// Attribute names of Python objects as interned engine names.
#pragma once

#include <Python.h>

#include "engine/attr_name.hpp"

namespace corvane {

// The interned name of a Python str (its bytes as `attribute_name` gives
// them).  Names the interpreter interned itself (those written in source
// code) are found by address after their first use: the str is kept for
// good and recorded as the name's object, which lets attribute reads
// compare addresses.  Requires the interpreter lock; raises (`PyErrorSet`)
// only when memory runs out.
AttrName attr_name_of(PyObject* name);

}  // namespace corvane
