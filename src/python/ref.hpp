// Owning handles to Python objects.
//
// `PyRef` is the everyday owning reference: move-only, released on
// destruction, constructed explicitly from a new, borrowed or stolen
// reference so that every reference-count decision is visible at the call
// site.  It is only used while the interpreter lock is held.
//
// `SharedRef` is a shared handle to one strong reference, with an atomic
// count of its own, so that the engine can copy and drop it on any thread
// without the interpreter lock.  When the last handle goes, the Python
// reference is released at once if the lock is held and parked in the
// deferred queue otherwise.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "python/gil.hpp"

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
    PyRef clone() const noexcept { return PyRef(borrow, obj_); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

class SharedRef {
public:
    SharedRef() noexcept = default;
    // Takes a new strong reference to `obj`.  Requires the interpreter lock.
    explicit SharedRef(borrow_t, PyObject* obj) : box_(new Box{{1}, obj}) { Py_INCREF(obj); }
    // Adopts a strong reference.  Requires nothing.
    explicit SharedRef(steal_t, PyObject* obj) : box_(new Box{{1}, obj}) {}

    SharedRef(const SharedRef& o) noexcept : box_(o.box_) {
        if (box_) box_->count.fetch_add(1, std::memory_order_relaxed);
    }
    SharedRef& operator=(const SharedRef& o) noexcept {
        SharedRef tmp(o);
        swap(tmp);
        return *this;
    }
    SharedRef(SharedRef&& o) noexcept : box_(std::exchange(o.box_, nullptr)) {}
    SharedRef& operator=(SharedRef&& o) noexcept {
        SharedRef tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~SharedRef() { reset(); }

    void reset() noexcept {
        Box* b = std::exchange(box_, nullptr);
        if (b && b->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            release_ref(b->obj);
            delete b;
        }
    }
    void swap(SharedRef& o) noexcept { std::swap(box_, o.box_); }

    PyObject* get() const noexcept { return box_ ? box_->obj : nullptr; }
    explicit operator bool() const noexcept { return box_ != nullptr; }

private:
    struct Box {
        std::atomic<uint32_t> count;
        PyObject* obj;
    };
    Box* box_ = nullptr;
};

}  // namespace corvane::py
