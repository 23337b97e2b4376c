#include "python/gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "engine/handle.hpp"

namespace corvane::py {

namespace {
std::mutex deferred_mutex;
std::vector<PyObject*> deferred;

void* suspend_interpreter() noexcept {
    if (!gil_held()) return nullptr;
    ++detail::gil_released_depth;
    return PyEval_SaveThread();
}

void resume_interpreter(void* token) noexcept {
    PyEval_RestoreThread(static_cast<PyThreadState*>(token));
    --detail::gil_released_depth;
}
}  // namespace

void defer_decref(PyObject* obj) noexcept {
    std::lock_guard<std::mutex> lock(deferred_mutex);
    deferred.push_back(obj);
    detail::deferred_size.store(deferred.size(), std::memory_order_release);
}

void detail::drain_parked() noexcept {
    std::vector<PyObject*> batch;
    {
        std::lock_guard<std::mutex> lock(deferred_mutex);
        batch.swap(deferred);
        detail::deferred_size.store(0, std::memory_order_release);
    }
    // Decrefs may run arbitrary finalisers, which may re-enter the module and
    // park more references; those are picked up by the next drain.
    for (PyObject* obj : batch) Py_DECREF(obj);
}

void install_interpreter_hooks() noexcept {
    interpreter_hooks.release = release_ref;
    interpreter_hooks.suspend = suspend_interpreter;
    interpreter_hooks.resume = resume_interpreter;
}

}  // namespace corvane::py
