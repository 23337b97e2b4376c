// Errors at the Python boundary.
//
// Inside a method body every failure is a C++ exception: `PyErrorSet` when a
// Python exception is already set, `corvane::InternalFailure` for a broken
// invariant.  `entry()` wraps each method body, drains the deferred-release
// queue first, and turns those exceptions into a null return with the right
// Python exception set.  Internal failures become `PanicException`, a direct
// subclass of `BaseException`, after a report on standard error.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "python/gil.hpp"
#include "python/ref.hpp"
#include "structures/failure.hpp"

namespace corvane::py {

// The PanicException class, created on first use (null with an error set if
// creation fails).
PyObject* panic_exception_type();

// Report an internal failure on standard error and set it as the current
// Python exception.
void raise_panic(const InternalFailure& failure) noexcept;

// Set `exc_type(message)` and throw `PyErrorSet`.
[[noreturn]] void raise(PyObject* exc_type, std::string_view message);
[[noreturn]] inline void type_error(std::string_view message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void runtime_error(std::string_view message) {
    raise(PyExc_RuntimeError, message);
}

// The short name of an object's type, as used in conversion messages.
std::string type_name(PyObject* obj);

// "'{type}' object cannot be converted to '{target}'"
[[noreturn]] void conversion_error(PyObject* obj, std::string_view target);

// The same message, prefixed "argument '{arg}': ".
[[noreturn]] void argument_conversion_error(PyObject* obj, std::string_view target,
                                            const char* arg);

// Prefix the current TypeError with "argument '{arg}': ", keeping its cause;
// other exception types pass unchanged.  Always throws `PyErrorSet`.
[[noreturn]] void rethrow_for_argument(const char* arg);

template <class F>
PyObject* entry(F&& body) noexcept {
    drain_deferred();
    try {
        PyObject* result = body();
        // References the call dropped without the interpreter lock are
        // released now that it holds the lock again and no index lock.
        if (result != nullptr) drain_deferred();
        return result;
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const InternalFailure& failure) {
        raise_panic(failure);
        return nullptr;
    } catch (const std::bad_alloc&) {
        // Running out of memory is not recoverable for the index structures.
        Py_FatalError("Corvane: out of memory");
        return nullptr;
    } catch (const std::exception& e) {
        raise_panic(InternalFailure(e.what()));
        return nullptr;
    }
}

// The same for slots that return an int status (0 on success, -1 on error).
template <class F>
int entry_status(F&& body) noexcept {
    PyObject* r = entry([&]() -> PyObject* {
        body();
        return Py_None;
    });
    return r == nullptr ? -1 : 0;
}

}  // namespace corvane::py
