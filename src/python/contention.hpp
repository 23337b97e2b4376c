// What a call does when it meets another thread's use of an object.
//
// The process-wide contention mode says: "raise" (the default) refuses the
// call at once with RuntimeError "Already borrowed" / "Already mutably
// borrowed"; "wait" gives the interpreter lock up and waits until the other
// thread's use ends (for at most the timeout, if one is set), then takes the
// use.  Waiting threads sleep on one condition variable and are woken when a
// use ends while any thread waits; nothing polls.
//
// A call that needs several uses takes them as a `UseGroup`: all together or
// none.  When one is busy, it gives back those it took, waits for the one in
// the way and starts again, so it never waits while holding a use.
#pragma once

#include <Python.h>

#include <absl/container/inlined_vector.h>

#include <chrono>
#include <optional>

#include "python/use.hpp"

namespace corvane::py {

enum class Contention : int { Raise = 0, Wait = 1 };

Contention contention_mode() noexcept;

// The time by which a waiting call gives up; none without a timeout.
using Deadline = std::optional<std::chrono::steady_clock::time_point>;
Deadline contention_deadline() noexcept;

// Raise the refusal a conflict on a use of this kind gets.
[[noreturn]] void raise_conflict(bool exclusive);

// In "wait" mode and with no use held by the calling thread: wait with the
// interpreter lock released until `c` could be taken as asked.  False when
// the deadline passed first, or when the call may not wait at all.
bool wait_for_use(const UseCounter& c, bool exclusive, const Deadline& deadline);

// Uses taken all together or not at all.
class UseGroup {
public:
    UseGroup() = default;
    UseGroup(const UseGroup&) = delete;
    UseGroup& operator=(const UseGroup&) = delete;
    ~UseGroup() { end_all(); }

    void reserve(size_t n) { slots_.reserve(n); }
    // Ask for a use; nothing is taken before `take` or `try_take`.
    void add(UseCounter& c, bool exclusive) { slots_.push_back(Slot{&c, exclusive, false}); }
    size_t size() const noexcept { return slots_.size(); }
    // Take every use asked for.  A conflict raises (leaving none taken) in
    // "raise" mode, when the calling thread holds another use, or when the
    // busy counter is one this group took already (an object given twice);
    // otherwise the group gives its uses back, waits, and tries again.
    void take();
    // Take the uses asked for since the last take, without waiting: false
    // when one is busy, after giving back every use of the group (or raise,
    // as `take` would).  The caller then calls `wait` and starts over,
    // asking again for what it needs.
    bool try_take();
    // Wait for the use that stopped `try_take`; raise once the timeout passes.
    void wait();
    // Wait until `c` could be taken as asked, holding nothing; for a call
    // that found an object busy without asking for its use.
    void wait_for(const UseCounter& c, bool exclusive);
    // End one use early, or all of them; `reset` also forgets what was asked.
    void end(size_t i) noexcept;
    void end_all() noexcept;
    void reset() noexcept {
        end_all();
        slots_.clear();
    }

private:
    struct Slot {
        UseCounter* counter;
        bool exclusive;
        bool held;
    };
    bool taken_before(size_t i) const noexcept;
    // A call on one object takes two or three uses: those stay in place,
    // so the common calls allocate nothing.
    absl::InlinedVector<Slot, 4> slots_;
    const UseCounter* busy_ = nullptr;
    bool busy_exclusive_ = false;
    // Set at the first wait, and kept across the group's new starts.
    Deadline deadline_;
    bool waited_ = false;
};

// The module functions `set_contention` and `get_contention`.
extern PyMethodDef set_contention_def;
extern PyMethodDef get_contention_def;

}  // namespace corvane::py
