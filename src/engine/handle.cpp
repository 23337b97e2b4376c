#include "engine/handle.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "structures/failure.hpp"

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
// are in use; slabs with room are chained.  A cell is the 4-byte count
// itself: a free cell holds the number of the next free cell of its slab
// instead (0, the slab's header, ends the chain).  A slab whose last cell comes
// back returns to its chunk, and a chunk whose slabs are all back is given
// back to the allocator (except the last one, so that a count taken and
// dropped over and over does not allocate a chunk each time).  Handles are
// dropped on any thread, so the pool is guarded; a spin lock, as each holder
// only moves a few pointers.  (Builds checked by the address sanitizer use
// the heap instead, so that a count used after its release is caught.)
union Cell {
    std::atomic<uint32_t> count;
    uint32_t next;
};
static_assert(sizeof(Cell) == 4, "a count takes one 4-byte cell");

constexpr size_t kSlabBytes = size_t{1} << 16;
constexpr size_t kSlabCells = kSlabBytes / sizeof(Cell);
constexpr size_t kChunkSlabs = 32;

struct Chunk;

struct Slab {
    Chunk* chunk;
    Slab* prev;       // in the chain of slabs with room, while `chained`
    Slab* next;       // (in its chunk's empty slabs while unused)
    uint32_t free;    // number of the first cell given back (0: none)
    uint32_t live;    // cells in use
    uint32_t carved;  // cells handed out at least once (from the first)
    bool chained;
};
// The header takes the first cells.
constexpr uint32_t kFirstCell = (sizeof(Slab) + sizeof(Cell) - 1) / sizeof(Cell);

struct Chunk {
    void* mem;
    Slab* empty = nullptr;  // slabs not in use
    uint32_t used = 0;      // slabs in use
    Chunk* prev = nullptr;
    Chunk* next = nullptr;
};

Slab* slab_of(Cell* cell) noexcept {
    return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(cell) & ~(kSlabBytes - 1));
}
Cell* cells_of(Slab* s) noexcept { return reinterpret_cast<Cell*>(s); }
const Cell* cells_of(const Slab* s) noexcept { return reinterpret_cast<const Cell*>(s); }

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
        s->free = 0;
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
            Cell* cell = nullptr;
            if (s->free != 0) {
                cell = cells_of(s) + s->free;
                s->free = cell->next;
            } else if (s->carved < kSlabCells) {
                cell = cells_of(s) + s->carved++;
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
        s->free = static_cast<uint32_t>(cell - cells_of(s));
        if (!s->chained) chain(s);
        if (--s->live == 0) drop_slab(s);
    }
};

[[noreturn]] void broken(const std::string& what) { fail("invalid count pool: " + what); }

// The checks of `validate_count_pool`, on a pool its caller has locked.
class PoolValidator {
public:
    explicit PoolValidator(const CountPool& p) : p_(p) {}

    CountPoolCensus run() {
        CountPoolCensus census;
        census.pooled = true;
        size_t chunks = 0;
        const Chunk* prev = nullptr;
        for (const Chunk* c = p_.chunks; c != nullptr; prev = c, c = c->next) {
            if (++chunks > p_.chunk_count)
                broken("more chunks chained than the " + std::to_string(p_.chunk_count) +
                       " counted");
            if (c->prev != prev)
                broken("chunk " + std::to_string(chunks - 1) + " links back to another");
            chunk(*c, census);
        }
        if (chunks != p_.chunk_count)
            broken(std::to_string(chunks) + " chunks chained, " + std::to_string(p_.chunk_count) +
                   " counted");
        room();
        return census;
    }

private:
    void chunk(const Chunk& c, CountPoolCensus& census) {
        const uintptr_t first =
            (reinterpret_cast<uintptr_t>(c.mem) + kSlabBytes - 1) & ~(kSlabBytes - 1);
        const std::string where = "chunk " + std::to_string(census.chunks++);
        std::vector<bool> empty(kChunkSlabs, false);
        size_t unused = 0;
        for (const Slab* s = c.empty; s != nullptr; s = s->next) {
            const uintptr_t at = reinterpret_cast<uintptr_t>(s);
            if (at < first || at >= first + kChunkSlabs * kSlabBytes ||
                (at - first) % kSlabBytes != 0)
                broken(where + ": an empty slab outside the chunk");
            const size_t i = (at - first) / kSlabBytes;
            if (empty[i]) broken(where + ": slab " + std::to_string(i) + " listed empty twice");
            empty[i] = true;
            ++unused;
        }
        if (kChunkSlabs - unused != c.used)
            broken(where + ": " + std::to_string(kChunkSlabs - unused) + " slabs in use, counted " +
                   std::to_string(c.used));
        if (c.used == 0 && p_.chunk_count > 1)
            broken(where + ": kept without a slab in use beside other chunks");
        for (size_t i = 0; i < kChunkSlabs; ++i) {
            if (empty[i]) continue;
            const Slab& s = *reinterpret_cast<const Slab*>(first + i * kSlabBytes);
            if (s.chunk != &c)
                broken(where + ", slab " + std::to_string(i) + ": names another chunk");
            census.live += slab(s, where + ", slab " + std::to_string(i));
            ++census.slabs;
            if (s.chained) chained_.push_back(&s);
        }
    }

    // Checks a slab in use; returns its live cells.
    size_t slab(const Slab& s, const std::string& where) {
        if (s.carved < kFirstCell || s.carved > kSlabCells)
            broken(where + ": " + std::to_string(s.carved) + " cells carved");
        const size_t handed = s.carved - kFirstCell;
        if (s.live == 0) broken(where + ": in use without a live cell");
        if (s.live > handed)
            broken(where + ": " + std::to_string(s.live) + " live cells of " +
                   std::to_string(handed) + " carved");
        std::vector<bool> seen(kSlabCells, false);
        size_t free = 0;
        const Cell* cells = cells_of(&s);
        for (uint32_t i = s.free; i != 0; i = cells[i].next) {
            if (i < kFirstCell || i >= s.carved)
                broken(where + ": a free cell outside the carved cells");
            if (seen[i]) broken(where + ": cell " + std::to_string(i) + " free twice");
            seen[i] = true;
            if (++free > handed) break;
        }
        if (free + s.live != handed)
            broken(where + ": " + std::to_string(free) + " free and " + std::to_string(s.live) +
                   " live cells of " + std::to_string(handed) + " carved");
        if (!s.chained && (s.free != 0 || s.carved < kSlabCells))
            broken(where + ": has room but is not chained");
        return s.live;
    }

    // The chain of slabs with room holds exactly the slabs marked chained.
    void room() {
        size_t n = 0;
        const Slab* prev = nullptr;
        for (const Slab* s = p_.room; s != nullptr; prev = s, s = s->next) {
            if (++n > chained_.size())
                broken("the chain of slabs with room holds unmarked or unused slabs");
            if (s->prev != prev) broken("a slab with room links back to another");
            if (!s->chained) broken("a slab with room is not marked chained");
        }
        if (n != chained_.size())
            broken(std::to_string(chained_.size()) + " slabs marked chained, " + std::to_string(n) +
                   " in the chain");
    }

    const CountPool& p_;
    std::vector<const Slab*> chained_;
};

CountPool& pool() {
    // Never destroyed: handles may be dropped by threads still running at exit.
    static CountPool* p = new CountPool();
    return *p;
}
#endif

}  // namespace

CountPoolCensus validate_count_pool() {
#if CORVANE_POOLED_COUNTS
    CountPool& p = pool();
    p.lock();
    struct Unlock {
        CountPool& p;
        ~Unlock() { p.unlock(); }
    } unlock{p};
    return PoolValidator(p).run();
#else
    return CountPoolCensus{};
#endif
}

namespace {
thread_local CountReserve* reserve_of_thread = nullptr;
}  // namespace

CountReserve::CountReserve([[maybe_unused]] size_t n) noexcept {
#if CORVANE_POOLED_COUNTS
    if (reserve_of_thread != nullptr || n == 0) return;
    n = std::min(n, kMax);
    CountPool& p = pool();
    p.lock();
    while (left_ < n) {
        Cell* cell = p.take();
        if (cell == nullptr) break;
        cells_[left_++] = cell;
    }
    p.unlock();
    active_ = true;
    reserve_of_thread = this;
#endif
}

CountReserve::~CountReserve() {
#if CORVANE_POOLED_COUNTS
    if (!active_) return;
    reserve_of_thread = nullptr;
    if (left_ == 0) return;
    CountPool& p = pool();
    p.lock();
    while (left_ > 0) p.give(static_cast<Cell*>(cells_[--left_]));
    p.unlock();
#endif
}

std::atomic<uint32_t>* CountReserve::take() noexcept {
#if CORVANE_POOLED_COUNTS
    CountReserve* r = reserve_of_thread;
    if (r == nullptr || r->left_ == 0) return nullptr;
    Cell* cell = static_cast<Cell*>(r->cells_[--r->left_]);
    return new (&cell->count) std::atomic<uint32_t>(1);
#else
    return nullptr;
#endif
}

SharedRef::Count* SharedRef::new_count() {
#if CORVANE_POOLED_COUNTS
    if (Count* reserved = CountReserve::take()) return reserved;
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
