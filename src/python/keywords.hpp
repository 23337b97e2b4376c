// Keyword arguments of `get_by_attribute` and `reduced` as a keyword filter.
#pragma once

#include <Python.h>

#include "engine/keyword_filter.hpp"

namespace corvane {

// Turn keyword arguments (vectorcall form: `values` holds one value per name
// in `kwnames`) into a keyword filter.  A str is one value; anything else
// iterable is the set of accepted values; anything else is one value.
// Requires the interpreter lock; an exception raised while iterating a
// filter value propagates unchanged.
HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames);

}  // namespace corvane
