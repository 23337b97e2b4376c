// Argument matching for the module's callables.
//
// Methods are registered with METH_FASTCALL | METH_KEYWORDS.  `Signature`
// describes a callable's parameters; `match()` binds positional and keyword
// arguments to them and raises the interpreter-style TypeErrors on a
// mismatch: missing, surplus, unexpected and duplicated arguments.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "python/errors.hpp"

namespace corvane::py {

struct Signature {
    const char* name;    // "Index.add_object", "sum_as_string", ...
    const char* const* params;
    size_t count;
};

// A METH_FASTCALL | METH_KEYWORDS function as a method-table entry.
#define CORVANE_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// Bind the single parameter `arg` of `name` and return it (borrowed).
PyObject* single_argument(const char* name, const char* arg, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);

// Bind `nargs` positional arguments and the keyword arguments named by
// `kwnames` (values follow the positional ones in `args`) to `out[0..count)`
// as borrowed references.  Every parameter is required.
void match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** out);

// The same for tuple/dict calling (type constructors).
void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Refuse positional arguments for a method that takes keywords only.
void no_positional(const char* name, Py_ssize_t nargs);

// Refuse keyword arguments for a method that takes positional ones only.
void no_keywords(const char* name, PyObject* kwnames);

// Refuse every argument, for a method without parameters.
inline void no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    no_positional(name, nargs);
    no_keywords(name, kwnames);
}

}  // namespace corvane::py
