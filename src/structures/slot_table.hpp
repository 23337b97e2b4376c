// An open-addressing table of entry numbers, for maps that keep their
// entries elsewhere.
//
// Each slot is 8 bytes: the upper 32 bits of the entry's 64-bit hash (its
// tag) and the entry's number plus one (0: an empty slot).  A slot's home
// is its tag scaled to the capacity (tag * capacity / 2^32), so the table
// grows and closes the gaps an erasure leaves from its own slots alone,
// never reading an entry.  The capacity is any multiple of 8 slots, so a
// table reserved for n entries takes 5n/4 slots, not the next power of two
// above that (up to 2.5n).
// A lookup reads one run of slots, usually one cache line, and asks the
// caller to compare only the entries whose tag matches: a hit costs the
// slot's line and the entry's.
//
// Linear probing, at most 4/5 full; an erasure shifts the run after it
// back (no tombstones), so lookups never slow down under churn.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "structures/failure.hpp"
#include "structures/large_block.hpp"

namespace corvane {

class SlotTable {
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    size_t allocated_bytes() const { return capacity() * sizeof(uint64_t); }

    // The number of the entry with hash `hash` for which `same(number)`
    // holds, or kNone.
    template <class Same>
    uint32_t find(uint64_t hash, Same&& same) const {
        const size_t at = position(hash, same);
        return at == kNoSlot ? kNone : number(slots_[at]);
    }
    // The slot of that entry (for `renumber` and `erase_at`), or kNoSlot.
    template <class Same>
    size_t position(uint64_t hash, Same&& same) const {
        if (!slots_) return kNoSlot;
        const uint32_t t = tag(hash);
        for (size_t at = home(t);; at = next(at)) {
            const uint64_t s = slots_[at];
            if (s == 0) return kNoSlot;
            if (static_cast<uint32_t>(s >> 32) == t && same(number(s))) return at;
        }
    }
    // The number of the entry for `hash` that `same` accepts; when there is
    // none, `make()` is called for the number of a new entry, which is
    // entered (the second member is then true).
    template <class Same, class Make>
    std::pair<uint32_t, bool> find_or_add(uint64_t hash, Same&& same, Make&& make) {
        const size_t at = position(hash, same);
        if (at != kNoSlot) return {number(slots_[at]), false};
        if (size_ + 1 > limit()) grow(size_ + 1);
        const uint32_t n = make();
        place(slot_of(tag(hash), n));
        ++size_;
        return {n, true};
    }
    // The entry in slot `at` is now numbered `n`.
    void renumber(size_t at, uint32_t n) {
        slots_[at] = slot_of(static_cast<uint32_t>(slots_[at] >> 32), n);
    }
    // Empty slot `at`, moving back the slots after it that may move closer
    // to their home.
    void erase_at(size_t at) {
        size_t hole = at;
        for (size_t j = next(at);; j = next(j)) {
            const uint64_t s = slots_[j];
            if (s == 0) break;
            // A slot whose home lies in (hole, j] stays.
            if (distance(home(static_cast<uint32_t>(s >> 32)), j) < distance(hole, j)) continue;
            slots_[hole] = s;
            hole = j;
        }
        slots_[hole] = 0;
        --size_;
        // Mostly empty after large removals: give the memory back, keeping
        // room to grow to twice the size.
        if (capacity() > 64 && size_ * 8 < capacity()) resize(2 * size_);
    }
    // Room for `n` entries in all.
    void reserve(size_t n) {
        if (n > limit()) grow(n);
    }
    void clear() {
        slots_.reset();
        capacity_ = 0;
        size_ = 0;
    }
    // Prefetch the first slot that a lookup of `hash` reads.
    void prefetch(uint64_t hash) const {
        if (slots_) __builtin_prefetch(&slots_[home(tag(hash))]);
    }
    // Check the table: the count, the load, and that every slot is reached
    // from its home without passing an empty slot.  Throws InternalFailure.
    void validate() const {
        size_t used = 0;
        for (size_t i = 0; i < capacity(); ++i) {
            const uint64_t s = slots_[i];
            if (s == 0) continue;
            ++used;
            for (size_t at = home(static_cast<uint32_t>(s >> 32)); at != i; at = next(at))
                if (slots_[at] == 0)
                    throw InternalFailure("slot table: slot " + std::to_string(i) +
                                          " is cut off from its home");
        }
        if (used != size_ || size_ > limit() || capacity_ % 8 != 0)
            throw InternalFailure("slot table: " + std::to_string(used) + " slots used, " +
                                  std::to_string(size_) + " counted, capacity " +
                                  std::to_string(capacity()));
    }

    static constexpr size_t kNoSlot = SIZE_MAX;

private:
    static uint32_t tag(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }
    static uint32_t number(uint64_t slot) { return static_cast<uint32_t>(slot) - 1; }
    static uint64_t slot_of(uint32_t t, uint32_t n) {
        return (static_cast<uint64_t>(t) << 32) | (static_cast<uint64_t>(n) + 1);
    }
    // Monotone in the tag: the slots of a run are in the order of their tags'
    // homes, which is what lets `erase_at` and `resize` work from slots alone.
    size_t home(uint32_t t) const { return static_cast<size_t>((uint64_t{t} * capacity_) >> 32); }
    size_t next(size_t at) const { return at + 1 == capacity_ ? 0 : at + 1; }
    // How far `to` lies after `from`, going round the end.
    size_t distance(size_t from, size_t to) const {
        return to >= from ? to - from : to + capacity_ - from;
    }
    static size_t limit_of(size_t capacity) { return capacity * 4 / 5; }
    size_t limit() const { return limit_of(capacity_); }

    // Put `s` in the first empty slot from its home.
    void place(uint64_t s) {
        size_t at = home(static_cast<uint32_t>(s >> 32));
        while (slots_[at] != 0) at = next(at);
        slots_[at] = s;
    }
    void grow(size_t n) { resize(n < 2 * size_ ? 2 * size_ : n); }
    // A table of the smallest capacity, a multiple of 8 slots, that holds
    // `n` entries, the slots moved in.
    void resize(size_t n) {
        size_t capacity = std::max<size_t>(8, (n + n / 4 + 7) & ~size_t{7});
        while (limit_of(capacity) < n) capacity += 8;
        if (capacity > (size_t{1} << 32)) throw InternalFailure("slot table: more than 2^32 slots");
        Slots old = std::move(slots_);
        const size_t old_capacity = capacity_;
        slots_.reset(static_cast<uint64_t*>(allocate_block(sizeof(uint64_t) * capacity)));
        std::memset(slots_.get(), 0, sizeof(uint64_t) * capacity);
        capacity_ = capacity;
        for (size_t i = 0; i < old_capacity; ++i)
            if (old[i] != 0) place(old[i]);
    }

    struct Free {
        void operator()(uint64_t* p) const noexcept { free_block(p); }
    };
    using Slots = std::unique_ptr<uint64_t[], Free>;

    Slots slots_;
    size_t capacity_ = 0;
    size_t size_ = 0;
};

}  // namespace corvane
