#include "engine/handle.hpp"

#include <cstdint>
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
// The pool of counts: 64 KiB slabs, aligned to their size so that a cell
// finds its slab by masking its address, carved 32 at a time from one
// allocation (a chunk).  Each slab keeps its own free cells and how many
// are in use; slabs with room are chained.  A slab whose last cell comes
// back returns to its chunk, and a chunk whose slabs are all back is given
// back to the allocator (except the last one, so that a count taken and
// dropped over and over does not allocate a chunk each time).  Handles are
// dropped on any thread, so the pool is guarded; a spin lock, as each holder
// only moves a few pointers.  (Builds checked by the address sanitizer use
// the heap instead, so that a count used after its release is caught.)
union Cell {
    std::atomic<uint32_t> count;
    Cell* next;
};
static_assert(sizeof(Cell) == 8, "a count takes one 8-byte cell");

constexpr size_t kSlabBytes = size_t{1} << 16;
constexpr size_t kSlabCells = kSlabBytes / sizeof(Cell);
constexpr size_t kChunkSlabs = 32;

struct Chunk;

struct Slab {
    Chunk* chunk;
    Slab* prev;  // in the chain of slabs with room, while `chained`
    Slab* next;  // (in its chunk's empty slabs while unused)
    Cell* free;  // cells given back, chained through their storage
    uint32_t live;  // cells in use
    uint32_t carved;  // cells handed out at least once (from the first)
    bool chained;
};
// The header takes the first cells.
constexpr uint32_t kFirstCell = (sizeof(Slab) + sizeof(Cell) - 1) / sizeof(Cell);

struct Chunk {
    void* mem;
    Slab* empty = nullptr;  // slabs not in use
    uint32_t used = 0;  // slabs in use
    Chunk* prev = nullptr;
    Chunk* next = nullptr;
};

Slab* slab_of(Cell* cell) noexcept {
    return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(cell) & ~(kSlabBytes - 1));
}

struct CountPool {
    std::atomic<bool> busy{false};
    Slab* room = nullptr;  // slabs with a free or uncarved cell
    Chunk* chunks = nullptr;
    size_t chunk_count = 0;

    void lock() noexcept {
        while (busy.exchange(true, std::memory_order_acquire))
            while (busy.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    void unlock() noexcept { busy.store(false, std::memory_order_release); }

    void chain(Slab* s) noexcept {
        s->prev = nullptr;
        s->next = room;
        if (room != nullptr) room->prev = s;
        room = s;
        s->chained = true;
    }
    void unchain(Slab* s) noexcept {
        (s->prev != nullptr ? s->prev->next : room) = s->next;
        if (s->next != nullptr) s->next->prev = s->prev;
        s->chained = false;
    }

    // A chunk of empty slabs, or null.
    Chunk* new_chunk() noexcept {
        void* mem = ::operator new((kChunkSlabs + 1) * kSlabBytes, std::nothrow);
        if (mem == nullptr) return nullptr;
        Chunk* c = new (std::nothrow) Chunk{mem};
        if (c == nullptr) {
            ::operator delete(mem);
            return nullptr;
        }
        uintptr_t first = (reinterpret_cast<uintptr_t>(mem) + kSlabBytes - 1) & ~(kSlabBytes - 1);
        for (size_t i = kChunkSlabs; i-- > 0;) {
            Slab* s = new (reinterpret_cast<void*>(first + i * kSlabBytes)) Slab{};
            s->chunk = c;
            s->next = c->empty;
            c->empty = s;
        }
        c->next = chunks;
        if (chunks != nullptr) chunks->prev = c;
        chunks = c;
        ++chunk_count;
        return c;
    }

    // An empty slab put in use, or null.
    Slab* new_slab() noexcept {
        Chunk* c = chunks;
        while (c != nullptr && c->empty == nullptr) c = c->next;
        if (c == nullptr && (c = new_chunk()) == nullptr) return nullptr;
        Slab* s = c->empty;
        c->empty = s->next;
        ++c->used;
        s->free = nullptr;
        s->live = 0;
        s->carved = kFirstCell;
        chain(s);
        return s;
    }

    void drop_slab(Slab* s) noexcept {
        unchain(s);
        Chunk* c = s->chunk;
        s->next = c->empty;
        c->empty = s;
        if (--c->used != 0 || chunk_count == 1) return;
        (c->prev != nullptr ? c->prev->next : chunks) = c->next;
        if (c->next != nullptr) c->next->prev = c->prev;
        --chunk_count;
        ::operator delete(c->mem);
        delete c;
    }

    // A cell, or null when no slab can be had.
    Cell* take() noexcept {
        for (;;) {
            Slab* s = room;
            if (s == nullptr && (s = new_slab()) == nullptr) return nullptr;
            Cell* cell = s->free;
            if (cell != nullptr) {
                s->free = cell->next;
            } else if (s->carved < kSlabCells) {
                cell = reinterpret_cast<Cell*>(s) + s->carved++;
            } else {
                unchain(s);  // full
                continue;
            }
            ++s->live;
            return cell;
        }
    }

    void give(Cell* cell) noexcept {
        Slab* s = slab_of(cell);
        cell->next = s->free;
        s->free = cell;
        if (!s->chained) chain(s);
        if (--s->live == 0) drop_slab(s);
    }
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
    Cell* cell = p.take();
    p.unlock();
    if (cell == nullptr) throw std::bad_alloc();
    return new (&cell->count) Count(1);
#else
    return new Count(1);
#endif
}

void SharedRef::free_count(Count* c) noexcept {
#if CORVANE_POOLED_COUNTS
    c->~Count();
    CountPool& p = pool();
    p.lock();
    p.give(reinterpret_cast<Cell*>(c));
    p.unlock();
#else
    delete c;
#endif
}

}  // namespace corvane
