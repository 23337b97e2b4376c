// Reader-writer locks for the shared parts of an index.
//
// `Locked<T>` pairs a value with a reader-writer lock.  A writer that leaves
// its scope by an exception marks the lock broken ("poisoned"): the data may
// be half-updated, so every later acquisition, for reading or writing, fails
// with an internal failure instead of reading it.
//
// Waiting for a lock never holds the interpreter lock: a thread first tries
// the lock, and if it is taken, gives the interpreter up while it blocks
// (see `wait_unblocked`).  Together with the rule that no engine
// code needs the interpreter lock while it holds an index lock, this keeps
// the two kinds of lock from ever waiting on each other.
#pragma once

#include <atomic>
#include <exception>
#include <shared_mutex>
#include <utility>

#include "engine/handle.hpp"
#include "structures/failure.hpp"

namespace corvane {

template <class T>
class Locked {
public:
    template <class... A>
    explicit Locked(A&&... a) : value_(std::forward<A>(a)...) {}

    class ReadGuard {
    public:
        explicit ReadGuard(const Locked& l) : l_(nullptr) {
            l.template acquire<true>();
            l_ = &l;
        }
        ReadGuard(ReadGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)) {}
        ReadGuard(const ReadGuard&) = delete;
        ReadGuard& operator=(const ReadGuard&) = delete;
        ~ReadGuard() { unlock(); }
        void unlock() noexcept {
            if (l_) std::exchange(l_, nullptr)->m_.unlock_shared();
        }
        const T& operator*() const noexcept { return l_->value_; }
        const T* operator->() const noexcept { return &l_->value_; }

    private:
        const Locked* l_;
    };

    class WriteGuard {
    public:
        explicit WriteGuard(Locked& l) : l_(nullptr), exceptions_(std::uncaught_exceptions()) {
            l.template acquire<false>();
            l_ = &l;
        }
        WriteGuard(WriteGuard&& o) noexcept
            : l_(std::exchange(o.l_, nullptr)), exceptions_(o.exceptions_) {}
        WriteGuard(const WriteGuard&) = delete;
        WriteGuard& operator=(const WriteGuard&) = delete;
        // Leaving by an exception poisons the lock.
        ~WriteGuard() {
            if (l_ && std::uncaught_exceptions() > exceptions_)
                l_->poisoned_.store(true, std::memory_order_release);
            unlock();
        }
        // Unlock without poisoning: the holder has left the data consistent.
        void unlock() noexcept {
            if (l_) std::exchange(l_, nullptr)->m_.unlock();
        }
        T& operator*() const noexcept { return l_->value_; }
        T* operator->() const noexcept { return &l_->value_; }

    private:
        Locked* l_;
        int exceptions_;
    };

    ReadGuard read() const { return ReadGuard(*this); }
    WriteGuard write() { return WriteGuard(*this); }

    // Direct access for an owner that knows nobody else can reach the value
    // yet (a freshly built index).
    T& unsafe_get() noexcept { return value_; }

private:
    void check() const {
        if (poisoned_.load(std::memory_order_acquire)) fail(kPoisonedLock);
    }

    // Take the lock, shared or exclusive, giving the interpreter up while
    // blocked; a lock found poisoned once taken is released and refused.
    template <bool Shared>
    void acquire() const {
        check();
        if constexpr (Shared) {
            if (!m_.try_lock_shared()) wait_unblocked([&] { m_.lock_shared(); });
        } else {
            if (!m_.try_lock()) wait_unblocked([&] { m_.lock(); });
        }
        if (poisoned_.load(std::memory_order_acquire)) {
            if constexpr (Shared) {
                m_.unlock_shared();
            } else {
                m_.unlock();
            }
            fail(kPoisonedLock);
        }
    }

    mutable std::shared_mutex m_;
    std::atomic<bool> poisoned_{false};
    T value_;
};

}  // namespace corvane
