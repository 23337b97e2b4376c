// The value sets of one attribute: from each key to the ids holding it.
//
// A map of unique values (ids, prices, timestamps) holds one entry per
// object, so the size of an entry and the slack around it are most of an
// index's weight.  `ValueSets` keeps its entries (key and id set, 80 bytes)
// densely, in chunks that double in size and never move, and finds them
// through a table of entry numbers (`SlotTable`):
//
//     table (8 bytes a slot: hash tag + entry number, load 2/5..4/5)
//       [ 17 ][    ][  3 ][  0 ][    ] ...
//          |           |     |
//          v           v     v
//     chunks  [ 0 1 2 3 ][ 4 5 ... 11 ][ 12 ... 27 ] ...   (4, 8, 16, ... entries)
//              entry: PyValue key + HybridSet ids
//
// A table of whole entries would keep 80 bytes for every slot, empty ones
// too, and at 1,000,000 keys absl's table has 2^21 slots.  Here an empty
// slot costs 8 bytes, and a chunk's untouched tail costs no memory until
// it is written.  A lookup reads the slot's cache line and the entry's, as
// a table of whole entries does.
//
// Erasing moves the last entry into the hole and renumbers its slot, so
// entries stay dense; iteration walks the chunks in entry order.  An erase
// therefore moves one other entry: nothing may erase while iterating, and
// an iterator or pointer to an entry is good until the next insertion or
// erasure, as with any flat hash map.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/value.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/slot_table.hpp"

namespace corvane {

class ValueSets {
public:
    struct Entry {
        PyValue first;
        HybridSet second;
    };

    template <bool Const>
    class Iter {
    public:
        using Ref = std::conditional_t<Const, const Entry&, Entry&>;
        using Ptr = std::conditional_t<Const, const Entry*, Entry*>;
        using Owner = std::conditional_t<Const, const ValueSets*, ValueSets*>;
        Iter() = default;
        Iter(Owner owner, uint32_t at) : owner_(owner), at_(at) {}
        // An iterator converts to its const form.
        operator Iter<true>() const { return Iter<true>(owner_, at_); }
        Ref operator*() const { return owner_->at(at_); }
        Ptr operator->() const { return &owner_->at(at_); }
        Iter& operator++() {
            ++at_;
            return *this;
        }
        bool operator==(const Iter& o) const { return at_ == o.at_; }
        bool operator!=(const Iter& o) const { return at_ != o.at_; }
        uint32_t position() const { return at_; }

    private:
        Owner owner_ = nullptr;
        uint32_t at_ = 0;
    };
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    ValueSets();
    ~ValueSets();
    ValueSets(const ValueSets&) = delete;
    ValueSets& operator=(const ValueSets&) = delete;
    ValueSets(ValueSets&&) = delete;
    ValueSets& operator=(ValueSets&&) = delete;

    size_t size() const { return store_.size; }
    bool empty() const { return store_.size == 0; }
    iterator begin() { return {this, 0}; }
    iterator end() { return {this, store_.size}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, store_.size}; }

    iterator find(const PyValue& key) {
        const uint32_t n = lookup(key);
        return n == SlotTable::kNone ? end() : iterator(this, n);
    }
    const_iterator find(const PyValue& key) const {
        const uint32_t n = lookup(key);
        return n == SlotTable::kNone ? end() : const_iterator(this, n);
    }
    bool contains(const PyValue& key) const { return lookup(key) != SlotTable::kNone; }
    void prefetch(const PyValue& key) const { table_.prefetch(hash_of(key)); }
    // Room in the table for `n` keys in all.  (Chunks are made as entries
    // come; they never move.)
    void reserve(size_t n) { table_.reserve(n); }

    // The entry of `key`, made with a vacant set when there is none
    // (true then).  A key passed by reference is copied only then.
    std::pair<iterator, bool> try_emplace(PyValue&& key);
    std::pair<iterator, bool> try_emplace(const PyValue& key);
    // The entry of `key` with `set`, unless `key` has one already.
    std::pair<iterator, bool> emplace(const PyValue& key, HybridSet&& set);
    // Drop the entry at `it`; the last entry takes its place.
    void erase(const_iterator it);
    // Drop the entry of `key`, if any; the number dropped.
    size_t erase(const PyValue& key) {
        auto it = find(key);
        if (it == end()) return 0;
        erase(it);
        return 1;
    }
    void clear();

    // Check that every entry has one slot, numbered with its place, and
    // that the chunks hold exactly the entries.  Throws InternalFailure.
    void validate() const;

    // The bytes held for entries and for the table.
    size_t allocated_bytes() const;

private:
    // The first chunk holds kFirst entries; chunk k holds kFirst << k.
    static constexpr uint32_t kFirstShift = 2;
    static constexpr uint32_t kFirst = 1u << kFirstShift;

    // 32 chunks hold more than 2^32 entries.
    static constexpr uint32_t kMaxChunks = 32;

    // The chunk holding entry `i`, and the number of chunks that `n`
    // entries fill.
    static uint32_t chunk_of(uint32_t i) {
        return static_cast<uint32_t>(std::bit_width(i + kFirst)) - 1 - kFirstShift;
    }
    static uint32_t chunks_for(uint32_t n) { return n == 0 ? 0 : chunk_of(n - 1) + 1; }

    struct Store {
        Entry* chunks[kMaxChunks] = {};
        uint32_t count = 0;  // chunks made
        uint32_t size = 0;
        Entry& at(uint32_t i) const {
            const uint32_t k = chunk_of(i);
            return chunks[k][i + kFirst - (kFirst << k)];
        }
    };
    Entry& at(uint32_t i) { return store_.at(i); }
    const Entry& at(uint32_t i) const { return store_.at(i); }
    // Construct the next entry in place, making its chunk if need be.
    uint32_t push(PyValue&& key, HybridSet&& set);
    // Free the chunks past the one the last entry is in, keeping one spare.
    void release_spare_chunks();

    static uint64_t hash_of(const PyValue& key) { return PyValueHash{}(key); }
    uint32_t lookup(const PyValue& key) const {
        return table_.find(hash_of(key), [&](uint32_t n) { return at(n).first.same_key(key); });
    }
    template <class Key>
    std::pair<iterator, bool> add(Key&& key, HybridSet&& set);

    Store store_;
    SlotTable table_;
};

}  // namespace corvane
