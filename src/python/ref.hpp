// Owning handles to Python objects.
//
// `PyRef` is the everyday owning reference: move-only, released on
// destruction, constructed explicitly from a new, borrowed or stolen
// reference so that every reference-count decision is visible at the call
// site.  It is only used while the interpreter lock is held.  `share` makes
// the engine's own kind of handle (`SharedRef`, engine/handle.hpp).
#pragma once

#include <Python.h>

#include <utility>

#include "engine/handle.hpp"

namespace corvane::py {

struct new_ref_t {};
struct borrow_t {};
struct steal_t {};
inline constexpr new_ref_t new_ref{};
inline constexpr borrow_t borrow{};
inline constexpr steal_t steal{};

// Thrown when a Python API call failed and left its exception set; the entry
// point returns null with that exception.
struct PyErrorSet {};

class PyRef {
public:
    PyRef() noexcept = default;
    // A new reference returned by the C API; null means the call failed and
    // raises `PyErrorSet`.
    PyRef(new_ref_t, PyObject* obj) : obj_(obj) {
        if (obj_ == nullptr) throw PyErrorSet{};
    }
    // A reference we do not own: take our own.
    PyRef(borrow_t, PyObject* obj) noexcept : obj_(obj) { Py_XINCREF(obj_); }
    // A reference whose ownership passes to us, possibly null.
    PyRef(steal_t, PyObject* obj) noexcept : obj_(obj) {}

    PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(obj_, std::exchange(o.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// A new engine handle to `obj`: the handle holds a strong reference of its
// own.  Requires the interpreter lock.
inline SharedRef share(PyObject* obj) {
    Py_INCREF(obj);
    return SharedRef(adopt, obj);
}

}  // namespace corvane::py
