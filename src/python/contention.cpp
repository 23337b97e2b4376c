#include "python/contention.hpp"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>

#include "python/args.hpp"
#include "python/gil.hpp"

namespace corvane::py {

namespace detail {
std::atomic<int32_t> use_waiters{0};
}

namespace {

std::atomic<int> mode{static_cast<int>(Contention::Raise)};
// Seconds a waiting call may wait; negative for no limit.
std::atomic<double> timeout{-1.0};

std::mutex wait_mutex;
std::condition_variable use_ended;

bool conflicts(int32_t state, bool exclusive) noexcept {
    return exclusive ? state != 0 : state < 0;
}

bool try_take_one(UseCounter& c, bool exclusive) noexcept {
    return exclusive ? c.try_exclusive() : c.try_shared();
}

}  // namespace

Contention contention_mode() noexcept {
    return static_cast<Contention>(mode.load(std::memory_order_relaxed));
}

Deadline contention_deadline() noexcept {
    double t = timeout.load(std::memory_order_relaxed);
    if (t < 0 || std::isinf(t)) return std::nullopt;
    auto span = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(t));
    return std::chrono::steady_clock::now() + span;
}

void raise_conflict(bool exclusive) {
    runtime_error(exclusive ? kAlreadyBorrowed : kAlreadyMutablyBorrowed);
}

void wake_use_waiters() noexcept {
    // Taking the mutex orders this wake-up after a waiter's last look at the
    // counter, so that no wake-up is lost between its look and its sleep.
    { std::lock_guard<std::mutex> lock(wait_mutex); }
    use_ended.notify_all();
}

bool wait_for_use(const UseCounter& c, bool exclusive, const Deadline& deadline) {
    if (contention_mode() != Contention::Wait || detail::uses_held != 0 || !gil_held())
        return false;
    // Counted while the interpreter lock is held: a use that ends from now
    // on sees the count and wakes this thread.
    detail::use_waiters.fetch_add(1, std::memory_order_relaxed);
    bool free = true;
    {
        GilRelease release;
        std::unique_lock<std::mutex> lock(wait_mutex);
        while (conflicts(c.load(), exclusive)) {
            if (!deadline) {
                // A bounded wait, looked at again each time: the untimed
                // `wait` is a libstdc++ symbol of GCC 12 that the
                // manylinux_2_34 wheels may not reference.
                use_ended.wait_for(lock, std::chrono::hours(1));
            } else if (use_ended.wait_until(lock, *deadline) == std::cv_status::timeout) {
                free = !conflicts(c.load(), exclusive);
                break;
            }
        }
    }
    detail::use_waiters.fetch_sub(1, std::memory_order_relaxed);
    return free;
}

void contend(UseCounter& c, bool exclusive) {
    Deadline deadline = contention_deadline();
    // Another thread may take the use between the wake-up and this thread's
    // return to the interpreter: look again, and wait again.
    do {
        if (!wait_for_use(c, exclusive, deadline)) raise_conflict(exclusive);
    } while (!try_take_one(c, exclusive));
}

bool UseGroup::taken_before(size_t i) const noexcept {
    for (size_t j = 0; j < i; ++j)
        if (slots_[j].counter == slots_[i].counter) return true;
    return false;
}

void UseGroup::take() {
    while (!try_take()) wait();
}

bool UseGroup::try_take() {
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot& s = slots_[i];
        if (s.held) continue;
        if (!try_take_one(*s.counter, s.exclusive)) {
            bool twice = taken_before(i);
            end_all();
            if (twice || contention_mode() != Contention::Wait || detail::uses_held != 0)
                raise_conflict(s.exclusive);
            busy_ = s.counter;
            busy_exclusive_ = s.exclusive;
            return false;
        }
        s.held = true;
        ++detail::uses_held;
    }
    return true;
}

void UseGroup::wait() { wait_for(*busy_, busy_exclusive_); }

void UseGroup::wait_for(const UseCounter& c, bool exclusive) {
    end_all();
    if (!waited_) {
        deadline_ = contention_deadline();
        waited_ = true;
    }
    if (!wait_for_use(c, exclusive, deadline_)) raise_conflict(exclusive);
}

void UseGroup::end(size_t i) noexcept {
    Slot& s = slots_[i];
    if (!s.held) return;
    s.held = false;
    --detail::uses_held;
    if (s.exclusive) {
        s.counter->end_exclusive();
    } else {
        s.counter->end_shared();
    }
}

void UseGroup::end_all() noexcept {
    // Innermost first, as scoped uses end.
    for (size_t i = slots_.size(); i-- > 0;) end(i);
}

namespace {

PyObject* set_contention(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        static const char* const params[] = {"mode", "timeout"};
        PyObject* out[2];
        match(Signature{"set_contention", params, 2, 1}, args, nargs, kwnames, out);
        if (!PyUnicode_Check(out[0])) argument_conversion_error(out[0], "str", "mode");
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(out[0], &len);
        if (text == nullptr) throw PyErrorSet{};
        std::string name(text, static_cast<size_t>(len));
        Contention chosen;
        if (name == "raise") {
            chosen = Contention::Raise;
        } else if (name == "wait") {
            chosen = Contention::Wait;
        } else {
            raise(PyExc_ValueError,
                  "contention mode must be 'raise' or 'wait', not '" + name + "'");
        }
        double limit = -1.0;
        if (out[1] != nullptr && out[1] != Py_None) {
            if (PyBool_Check(out[1]) || !(PyFloat_Check(out[1]) || PyLong_Check(out[1])))
                argument_conversion_error(out[1], "float", "timeout");
            limit = PyFloat_AsDouble(out[1]);
            if (limit == -1.0 && PyErr_Occurred()) rethrow_for_argument("timeout");
            if (std::isnan(limit) || limit < 0)
                raise(PyExc_ValueError, "timeout must be a non-negative number of seconds");
            if (chosen == Contention::Raise)
                raise(PyExc_ValueError, "a timeout applies only to the 'wait' mode");
        }
        timeout.store(limit, std::memory_order_relaxed);
        mode.store(static_cast<int>(chosen), std::memory_order_relaxed);
        Py_RETURN_NONE;
    });
}

PyObject* get_contention(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        no_arguments("get_contention", nargs, kwnames);
        const char* name = contention_mode() == Contention::Wait ? "wait" : "raise";
        double limit = timeout.load(std::memory_order_relaxed);
        if (limit < 0) return Py_BuildValue("(sO)", name, Py_None);
        return Py_BuildValue("(sd)", name, limit);
    });
}

}  // namespace

PyMethodDef set_contention_def = {
    "set_contention", CORVANE_FASTCALL(set_contention), METH_FASTCALL | METH_KEYWORDS,
    "set_contention(mode, timeout=None)\n--\n\n"
    "Choose what a call does when another thread is using the same object, index or view: "
    "'raise' (the default) raises RuntimeError at once; 'wait' waits, with the interpreter "
    "lock released, until that use ends, for at most `timeout` seconds when one is given."};

PyMethodDef get_contention_def = {
    "get_contention", CORVANE_FASTCALL(get_contention), METH_FASTCALL | METH_KEYWORDS,
    "get_contention()\n--\n\nThe contention mode and its timeout, as (mode, timeout)."};

}  // namespace corvane::py
