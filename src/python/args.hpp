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
    const char* name;  // "Index.add_object", "sum_as_string", ...
    const char* const* params;
    size_t count;
    // How many of the last parameters may be left out; `match` leaves their
    // slots null.
    size_t optional = 0;
};

// A METH_FASTCALL | METH_KEYWORDS function as a method-table entry.
#define CORVANE_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// Bind the single parameter `arg` of `name` and return it (borrowed).
PyObject* single_argument(const char* name, const char* arg, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);

// Bind `nargs` positional arguments and the keyword arguments named by
// `kwnames` (values follow the positional ones in `args`) to `out[0..count)`
// as borrowed references.  Every parameter is required except the last
// `sig.optional`, whose slots stay null when they are not given.
void match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** out);

// The same for tuple/dict calling (type constructors).
void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Refuse positional arguments for a method that takes keywords only.
void no_positional(const char* name, Py_ssize_t nargs);

// Refuse keyword arguments for a method that takes positional ones only.
void no_keywords(const char* name, PyObject* kwnames);

// Call `each(item)` (a borrowed reference) for every item of the iterable
// argument `arg`: a list, tuple, set, dict view, generator or any other
// iterable; a str is refused, and so is anything that cannot be iterated.
// A TypeError raised on the way (by the checks, by iteration or by `each`)
// is prefixed with the argument's name; other exceptions pass unchanged.
template <class F>
void for_each_in_iterable(PyObject* items, const char* arg, F&& each) {
    try {
        if (PyUnicode_Check(items)) type_error("Can't extract `str` to `Vec`");
        PyObject* iter = PyObject_GetIter(items);
        if (iter == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
            PyErr_Clear();
            conversion_error(items, "Sequence");
        }
        PyRef owned_iter(steal, iter);
        while (PyObject* item = PyIter_Next(iter)) {
            PyRef owned(steal, item);
            each(item);
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    } catch (const PyErrorSet&) {
        rethrow_for_argument(arg);
    }
}

// The length of an iterable when it can tell, else 0 (a hint for reserving).
inline size_t size_hint(PyObject* items) noexcept {
    Py_ssize_t n = PyObject_Size(items);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<size_t>(n);
}

// Refuse every argument, for a method without parameters.
inline void no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    no_positional(name, nargs);
    no_keywords(name, kwnames);
}

}  // namespace corvane::py
