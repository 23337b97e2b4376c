#include "engine/handle.hpp"

#include <new>
#include <thread>

namespace corvane {

InterpreterHooks interpreter_hooks;

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_POOLED_COUNTS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_POOLED_COUNTS 0
#endif
#endif
#ifndef CORVANE_POOLED_COUNTS
#define CORVANE_POOLED_COUNTS 1
#endif

#if CORVANE_POOLED_COUNTS
// The pool of counts: cells carved from slabs that are never given back,
// free cells chained through their own storage.  Handles are dropped on any
// thread, so the free list is guarded; a spin lock, as each holder only
// moves one pointer.  (Builds checked by the address sanitizer use the heap
// instead, so that a count used after its release is caught.)
union Cell {
    std::atomic<uint32_t> count;
    Cell* next;
};
static_assert(sizeof(Cell) == 8, "a count takes one 8-byte cell");

constexpr size_t kSlabCells = 8192;  // 64 KiB a slab

struct CountPool {
    std::atomic<bool> busy{false};
    Cell* free = nullptr;
    Cell* slab = nullptr;  // the slab being carved
    size_t carved = kSlabCells;

    void lock() noexcept {
        while (busy.exchange(true, std::memory_order_acquire))
            while (busy.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    void unlock() noexcept { busy.store(false, std::memory_order_release); }
};

CountPool& pool() {
    // Never destroyed: handles may be dropped by threads still running at exit.
    static CountPool* p = new CountPool();
    return *p;
}
#endif

}  // namespace

SharedRef::Count* SharedRef::new_count() {
#if CORVANE_POOLED_COUNTS
    CountPool& p = pool();
    p.lock();
    Cell* cell = p.free;
    if (cell != nullptr) {
        p.free = cell->next;
    } else {
        if (p.carved == kSlabCells) {
            Cell* slab = static_cast<Cell*>(::operator new(sizeof(Cell) * kSlabCells, std::nothrow));
            if (slab == nullptr) {
                p.unlock();
                throw std::bad_alloc();
            }
            p.slab = slab;
            p.carved = 0;
        }
        cell = &p.slab[p.carved++];
    }
    p.unlock();
    return new (&cell->count) Count(1);
#else
    return new Count(1);
#endif
}

void SharedRef::free_count(Count* c) noexcept {
#if CORVANE_POOLED_COUNTS
    c->~Count();
    Cell* cell = reinterpret_cast<Cell*>(c);
    CountPool& p = pool();
    p.lock();
    cell->next = p.free;
    p.free = cell;
    p.unlock();
#else
    delete c;
#endif
}

}  // namespace corvane
