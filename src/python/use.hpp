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

// Scoped shared use; raises RuntimeError "Already mutably borrowed" if refused.
class SharedUse {
public:
    SharedUse() noexcept = default;
    explicit SharedUse(UseCounter& c) : c_(&c) {
        if (!c.try_shared()) {
            c_ = nullptr;
            runtime_error(kAlreadyMutablyBorrowed);
        }
    }
    SharedUse(SharedUse&& o) noexcept : c_(std::exchange(o.c_, nullptr)) {}
    SharedUse& operator=(SharedUse&& o) noexcept {
        if (this != &o) {
            end();
            c_ = std::exchange(o.c_, nullptr);
        }
        return *this;
    }
    ~SharedUse() { end(); }
    void end() noexcept {
        if (c_) std::exchange(c_, nullptr)->end_shared();
    }

private:
    UseCounter* c_ = nullptr;
};

// Scoped exclusive use; raises RuntimeError "Already borrowed" if refused.
class ExclusiveUse {
public:
    ExclusiveUse() noexcept = default;
    explicit ExclusiveUse(UseCounter& c) : c_(&c) {
        if (!c.try_exclusive()) {
            c_ = nullptr;
            runtime_error(kAlreadyBorrowed);
        }
    }
    ExclusiveUse(ExclusiveUse&& o) noexcept : c_(std::exchange(o.c_, nullptr)) {}
    ExclusiveUse& operator=(ExclusiveUse&& o) noexcept {
        if (this != &o) {
            end();
            c_ = std::exchange(o.c_, nullptr);
        }
        return *this;
    }
    ~ExclusiveUse() { end(); }
    void end() noexcept {
        if (c_) std::exchange(c_, nullptr)->end_exclusive();
    }

private:
    UseCounter* c_ = nullptr;
};

}  // namespace corvane::py
