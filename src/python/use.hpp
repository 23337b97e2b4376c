// Per-object use counters.
//
// Every instance of the module's classes carries a `UseCounter`.  A call takes
// its receiver (and object arguments) in shared or exclusive use for its whole
// duration, also while it has released the interpreter lock, so that a
// conflicting call from another thread fails at once instead of waiting:
// shared use is refused with "Already mutably borrowed" while the object is in
// exclusive use, exclusive use with "Already borrowed" while it is in any use.
// Counters are only changed while the interpreter lock is held.
#pragma once

#include <cstdint>
#include <utility>

#include "python/errors.hpp"

namespace corvane::py {

inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

struct UseCounter {
    // 0: not in use; > 0: shared by that many calls; -1: exclusive.
    int32_t state = 0;

    bool try_shared() noexcept {
        if (state < 0) return false;
        ++state;
        return true;
    }
    bool try_exclusive() noexcept {
        if (state != 0) return false;
        state = -1;
        return true;
    }
    void end_shared() noexcept { --state; }
    void end_exclusive() noexcept { state = 0; }
    bool exclusive() const noexcept { return state < 0; }
};

// Scoped use of an object: shared (refused with RuntimeError "Already
// mutably borrowed" while the object is in exclusive use) or exclusive
// (refused with "Already borrowed" while it is in any use).
template <bool Exclusive>
class ScopedUse {
public:
    ScopedUse() noexcept = default;
    explicit ScopedUse(UseCounter& c) : c_(&c) {
        if (!(Exclusive ? c.try_exclusive() : c.try_shared())) {
            c_ = nullptr;
            runtime_error(Exclusive ? kAlreadyBorrowed : kAlreadyMutablyBorrowed);
        }
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
