// Per-object use counters.
//
// Every instance of the module's classes carries a `UseCounter`.  A call takes
// its receiver (and object arguments) in shared or exclusive use for its whole
// duration, also while it has released the interpreter lock.  Shared use
// conflicts with exclusive use ("Already mutably borrowed"), exclusive use
// with any use ("Already borrowed").  What a conflict does is the process's
// contention mode (contention.hpp): raise at once (the default), or wait,
// with the interpreter lock released, for the other thread's use to end.  A
// thread that already holds a use (a callback re-entering the module, or a
// call taking several uses one at a time) never waits and raises: waiting
// for its own use could never end, and waiting while holding one could close
// a cycle.  Calls that need several uses take them together (`UseGroup`).
//
// Counters are only changed while the interpreter lock is held; waiting
// threads read them without it, hence the atomic (relaxed: the interpreter
// lock orders every change).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "python/errors.hpp"

namespace corvane::py {

inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

namespace detail {
// How many threads wait for a use to end (changed under the interpreter lock).
extern std::atomic<int32_t> use_waiters;
// How many uses the calling thread holds.  A thread that holds one never
// waits for another: its wait could close a cycle with the thread it waits for.
inline thread_local int uses_held = 0;
}  // namespace detail

// Wake the threads waiting for a use to end.
void wake_use_waiters() noexcept;

struct UseCounter {
    // 0: not in use; > 0: shared by that many calls; -1: exclusive.
    std::atomic<int32_t> state{0};

    int32_t load() const noexcept { return state.load(std::memory_order_relaxed); }
    bool try_shared() noexcept {
        int32_t s = load();
        if (s < 0) return false;
        state.store(s + 1, std::memory_order_relaxed);
        return true;
    }
    bool try_exclusive() noexcept {
        if (load() != 0) return false;
        state.store(-1, std::memory_order_relaxed);
        return true;
    }
    void end_shared() noexcept { release(load() - 1); }
    void end_exclusive() noexcept { release(0); }
    bool in_use() const noexcept { return load() != 0; }
    bool exclusive() const noexcept { return load() < 0; }

private:
    void release(int32_t next) noexcept {
        state.store(next, std::memory_order_relaxed);
        if (detail::use_waiters.load(std::memory_order_relaxed) != 0) wake_use_waiters();
    }
};

// The conflict path of taking a use: raise, or wait until the use can be
// taken and take it.  Out of line: it runs only when a counter is busy.
void contend(UseCounter& c, bool exclusive);

// Scoped use of an object, shared or exclusive.
template <bool Exclusive>
class ScopedUse {
public:
    ScopedUse() noexcept = default;
    explicit ScopedUse(UseCounter& c) {
        if (!(Exclusive ? c.try_exclusive() : c.try_shared())) contend(c, Exclusive);
        ++detail::uses_held;
        c_ = &c;
    }
    ScopedUse(ScopedUse&& o) noexcept : c_(std::exchange(o.c_, nullptr)) {}
    ScopedUse& operator=(ScopedUse&& o) noexcept {
        if (this != &o) {
            end();
            c_ = std::exchange(o.c_, nullptr);
        }
        return *this;
    }
    ~ScopedUse() { end(); }
    void end() noexcept {
        UseCounter* c = std::exchange(c_, nullptr);
        if (c == nullptr) return;
        --detail::uses_held;
        if (Exclusive) {
            c->end_exclusive();
        } else {
            c->end_shared();
        }
    }

private:
    UseCounter* c_ = nullptr;
};

using SharedUse = ScopedUse<false>;
using ExclusiveUse = ScopedUse<true>;

}  // namespace corvane::py
