// Conversions of Python values and names into engine values.
#pragma once

#include <Python.h>

#include <string>

#include "engine/value.hpp"

namespace corvane {

// Wrap a Python object into an engine value.  Requires the interpreter lock.
// Never fails: unhashable objects get hash 0, ints beyond 64 bits and
// strings that cannot be encoded as UTF-8 are classified `Unknown`.
PyValue wrap_value(PyObject* obj);

// The bytes of an attribute name given as a Python str: its UTF-8 encoding,
// with lone surrogates passed through, so that distinct names never share
// bytes.  Requires the interpreter lock; raises (`PyErrorSet`) only when
// memory runs out.
std::string attribute_name(PyObject* name);

}  // namespace corvane
