#include "engine/value_sets.hpp"

#include <cstdlib>
#include <new>
#include <string>

#include "structures/failure.hpp"

namespace corvane {

namespace {

size_t chunk_bytes(size_t k, size_t first) { return (first << k) * sizeof(ValueSets::Entry); }

}  // namespace

ValueSets::ValueSets() = default;

ValueSets::~ValueSets() { clear(); }

uint32_t ValueSets::push(PyValue&& key, HybridSet&& set) {
    const uint32_t i = store_.size;
    const uint32_t k = chunk_of(i);
    if (k == store_.count) {
        if (k == kMaxChunks) throw InternalFailure("value sets: more than 2^32 keys");
        // Plain malloc: a chunk's untouched tail stays unbacked, which
        // huge pages would not leave it.
        void* chunk = std::malloc(chunk_bytes(k, kFirst));
        if (chunk == nullptr) throw std::bad_alloc();
        store_.chunks[k] = static_cast<Entry*>(chunk);
        store_.count = k + 1;
    }
    new (&store_.at(i)) Entry{std::move(key), std::move(set)};
    store_.size = i + 1;
    return i;
}

template <class Key>
std::pair<ValueSets::iterator, bool> ValueSets::add(Key&& key, HybridSet&& set) {
    auto [n, made] = table_.find_or_add(
        hash_of(key), [&](uint32_t i) { return at(i).first.same_key(key); },
        [&] { return push(PyValue(std::forward<Key>(key)), std::move(set)); });
    return {iterator(this, n), made};
}

std::pair<ValueSets::iterator, bool> ValueSets::try_emplace(PyValue&& key) {
    return add(std::move(key), HybridSet());
}

std::pair<ValueSets::iterator, bool> ValueSets::try_emplace(const PyValue& key) {
    return add(key, HybridSet());
}

std::pair<ValueSets::iterator, bool> ValueSets::emplace(const PyValue& key, HybridSet&& set) {
    return add(key, std::move(set));
}

void ValueSets::erase(const_iterator it) {
    const uint32_t i = it.position();
    const uint32_t last = store_.size - 1;
    const size_t slot = table_.position(hash_of(at(i).first), [&](uint32_t n) { return n == i; });
    if (i != last) {
        // The last entry moves into the hole: its slot is renumbered first,
        // while the slots still lie where they were found.
        table_.renumber(
            table_.position(hash_of(at(last).first), [&](uint32_t n) { return n == last; }), i);
        at(i) = std::move(at(last));
    }
    table_.erase_at(slot);
    at(last).~Entry();
    store_.size = last;
    release_spare_chunks();
}

void ValueSets::release_spare_chunks() {
    // The chunks in use, and one more so that a key entered and erased at a
    // chunk's edge does not make and free a chunk each time.
    const uint32_t keep = chunks_for(store_.size) + 1;
    while (store_.count > keep) {
        --store_.count;
        std::free(store_.chunks[store_.count]);
        store_.chunks[store_.count] = nullptr;
    }
}

void ValueSets::clear() {
    for (uint32_t i = 0; i < store_.size; ++i) at(i).~Entry();
    store_.size = 0;
    for (uint32_t k = 0; k < store_.count; ++k) {
        std::free(store_.chunks[k]);
        store_.chunks[k] = nullptr;
    }
    store_.count = 0;
    table_.clear();
}

void ValueSets::validate() const {
    const uint32_t n = store_.size;
    if (table_.size() != n)
        throw InternalFailure("value sets: " + std::to_string(table_.size()) + " slots for " +
                              std::to_string(n) + " entries");
    // The chunks that hold the entries, and at most one spare.
    const uint32_t needed = chunks_for(n);
    const uint32_t chunks = store_.count;
    if (chunks < needed || chunks > needed + 1)
        throw InternalFailure("value sets: " + std::to_string(chunks) + " chunks for " +
                              std::to_string(n) + " entries");
    table_.validate();
    for (uint32_t i = 0; i < n; ++i) {
        if (lookup(at(i).first) != i)
            throw InternalFailure("value sets: entry " + std::to_string(i) + " (" +
                                  at(i).first.debug() + ") is not found at its place");
    }
}

size_t ValueSets::allocated_bytes() const {
    size_t bytes = 0;
    for (size_t k = 0; k < store_.count; ++k) bytes += chunk_bytes(k, kFirst);
    return bytes + table_.allocated_bytes();
}

}  // namespace corvane
