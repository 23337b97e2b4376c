// Interpreter-lock bookkeeping.
//
// Every entry point of the module runs with the interpreter lock held.  Work
// that touches only native data runs with the lock released, inside a
// `GilRelease` scope; which calls do so is decided in gil_policy.hpp.  A
// thread-local depth counter records whether the current thread has given
// the lock up, so that a handle dropped deep inside the engine, or a wait
// for an index lock, can tell whether it may touch the interpreter (see
// `install_interpreter_hooks`).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>

namespace corvane::py {

namespace detail {
inline thread_local int gil_released_depth = 0;
// Above 0 inside a `DeferDecrefs` scope.
inline thread_local int decrefs_deferred_depth = 0;
// How many references are parked (see `defer_decref`), read by every entry.
inline std::atomic<size_t> deferred_size{0};
void drain_parked() noexcept;
}  // namespace detail

// True when the current thread is inside one of our entry points and has not
// released the interpreter lock.
inline bool gil_held() noexcept { return detail::gil_released_depth == 0; }

// Releases the interpreter lock for the lifetime of the scope and takes it
// back on exit, also when a C++ exception passes through.  Nested use is
// harmless: an inner guard in a thread that already released the lock does
// nothing.
class GilRelease {
public:
    GilRelease() noexcept {
        if (detail::gil_released_depth++ == 0) state_ = PyEval_SaveThread();
    }
    ~GilRelease() {
        if (--detail::gil_released_depth == 0) PyEval_RestoreThread(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_ = nullptr;
};

// Python references dropped by a thread that had released the interpreter
// lock are parked here and released when a call into the module returns
// successfully, or at the next entry.
void defer_decref(PyObject* obj) noexcept;
// Release every parked reference.  Requires the interpreter lock.  Every
// call into the module asks, so the question is inline: nothing parked is
// the common case.
inline void drain_deferred() noexcept {
    if (detail::deferred_size.load(std::memory_order_acquire) != 0) detail::drain_parked();
}

// Drop one strong reference: at once when this thread holds the interpreter
// lock, otherwise through the deferred queue.
inline void release_ref(PyObject* obj) noexcept {
    if (obj == nullptr) return;
    if (gil_held() && detail::decrefs_deferred_depth == 0) {
        Py_DECREF(obj);
    } else {
        defer_decref(obj);
    }
}

// Engine work that keeps the interpreter lock but holds index locks: the
// references it drops are parked as if the lock were released, so that no
// finaliser runs while an index lock is held.  They are released when the
// call returns.
class DeferDecrefs {
public:
    DeferDecrefs() noexcept { ++detail::decrefs_deferred_depth; }
    ~DeferDecrefs() { --detail::decrefs_deferred_depth; }
    DeferDecrefs(const DeferDecrefs&) = delete;
    DeferDecrefs& operator=(const DeferDecrefs&) = delete;
};

// Give the engine its interpreter hooks: engine handles release their
// references through `release_ref`, and a wait for an index lock gives the
// interpreter lock up while it blocks.  Called once when the module loads.
void install_interpreter_hooks() noexcept;

}  // namespace corvane::py
