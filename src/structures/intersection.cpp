#include "structures/intersection.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace corvane {

namespace {

constexpr size_t kWords = 1024;  // 2^16 bits per chunk

// One chunk (container) of a bitmap, with shared containers unwrapped.
struct Chunk {
    const void* container;
    uint8_t type;
};

Chunk chunk_at(const roaring_array_t& ra, int32_t i) {
    uint8_t type = ra.typecodes[i];
    const void* c = container_unwrap_shared(ra.containers[i], &type);
    return Chunk{c, type};
}

int32_t chunk_cardinality(const Chunk& c) { return container_get_cardinality(c.container, c.type); }

// Set in `words` the bits of chunk `c`.
void set_bits(uint64_t* words, const Chunk& c) {
    switch (c.type) {
        case BITSET_CONTAINER_TYPE_CODE: {
            const auto* b = static_cast<const bitset_container_t*>(c.container);
            std::memcpy(words, b->array, kWords * sizeof(uint64_t));
            break;
        }
        case ARRAY_CONTAINER_TYPE_CODE: {
            const auto* a = static_cast<const array_container_t*>(c.container);
            std::memset(words, 0, kWords * sizeof(uint64_t));
            for (int32_t k = 0; k < a->cardinality; ++k)
                words[a->array[k] >> 6] |= uint64_t{1} << (a->array[k] & 63);
            break;
        }
        default: {
            const auto* r = static_cast<const run_container_t*>(c.container);
            std::memset(words, 0, kWords * sizeof(uint64_t));
            for (int32_t k = 0; k < r->n_runs; ++k) {
                uint32_t lo = r->runs[k].value, hi = lo + r->runs[k].length;  // inclusive
                for (uint32_t v = lo; v <= hi; ++v) words[v >> 6] |= uint64_t{1} << (v & 63);
            }
            break;
        }
    }
}

// words &= chunk `c`; true when any bit is left.
bool and_bits(uint64_t* words, const Chunk& c) {
    if (c.type == BITSET_CONTAINER_TYPE_CODE) {
        const uint64_t* other = static_cast<const bitset_container_t*>(c.container)->array;
        uint64_t any = 0;
        for (size_t w = 0; w < kWords; ++w) any |= (words[w] &= other[w]);
        return any != 0;
    }
    uint64_t kept[kWords];
    set_bits(kept, c);
    uint64_t any = 0;
    for (size_t w = 0; w < kWords; ++w) any |= (words[w] &= kept[w]);
    return any != 0;
}

// words = the meeting of `chunks`, bitsets all (at least one); true when
// any bit is left.  Four at a time, so that the meeting of up to four sets,
// the common case, reads each source once and writes `words` once, instead
// of copying the first and then reading and writing `words` again for each
// further set.
bool and_bitsets(uint64_t* words, const std::vector<Chunk>& chunks) {
    const size_t n = chunks.size();
    const auto bits = [&](size_t j) {
        return static_cast<const bitset_container_t*>(chunks[j].container)->array;
    };
    uint64_t any = 0;
    for (size_t j = 0; j < n; j += 4) {
        const uint64_t* a = bits(j);
        const uint64_t* b = j + 1 < n ? bits(j + 1) : a;
        const uint64_t* c = j + 2 < n ? bits(j + 2) : a;
        const uint64_t* d = j + 3 < n ? bits(j + 3) : a;
        any = 0;
        if (j == 0) {
            for (size_t w = 0; w < kWords; ++w) any |= (words[w] = a[w] & b[w] & c[w] & d[w]);
        } else {
            for (size_t w = 0; w < kWords; ++w) any |= (words[w] &= a[w] & b[w] & c[w] & d[w]);
        }
        if (any == 0) return false;
    }
    return true;
}

// Where the other sets stand at chunk key `key` of the leading one.
enum class Alignment { Everywhere, Missing, Exhausted };

// Advance every set but the first (`pos` holds where each stands) to the
// chunk with key `key`, and put that chunk in `chunks`.  Exhausted when some
// set has no chunk at or above the key: nothing further can be common.
Alignment align(const std::vector<const roaring_array_t*>& arrays, std::vector<int32_t>& pos,
                std::vector<Chunk>& chunks, uint16_t key) {
    for (size_t j = 1; j < arrays.size(); ++j) {
        const roaring_array_t& ra = *arrays[j];
        int32_t& p = pos[j];
        while (p < ra.size && ra.keys[p] < key) ++p;
        if (p == ra.size) return Alignment::Exhausted;
        if (ra.keys[p] != key) return Alignment::Missing;
        chunks[j] = chunk_at(ra, p);
    }
    return Alignment::Everywhere;
}

// Moves the listed ids into `result` (whose chunks all lie below theirs).
void flush_listed(std::vector<uint32_t>& out, Bitmap& result) {
    if (out.empty()) return;
    roaring_bitmap_add_many(result.raw(), out.size(), out.data());
    out.clear();
}

// Few candidates: test each id of the smallest chunk against the others.
void probe_each(const std::vector<Chunk>& chunks, uint32_t high, std::vector<uint32_t>& out) {
    const auto* a = static_cast<const array_container_t*>(chunks[0].container);
    for (int32_t k = 0; k < a->cardinality; ++k) {
        uint16_t low = a->array[k];
        bool all = true;
        for (size_t j = 1; j < chunks.size() && all; ++j)
            all = container_contains(chunks[j].container, low, chunks[j].type);
        if (all) out.push_back(high | low);
    }
}

// Many candidates: meet the chunks as bit sets, word by word.  A dense
// result goes into `result` as a bitset container of its own (listing its
// ids would cost more than the meeting); a sparse one is listed in `out`.
void and_words(const std::vector<Chunk>& chunks, uint16_t key, std::vector<uint32_t>& out,
               Bitmap& result) {
    uint64_t words[kWords];
    bool any = true;
    const bool all_bitsets = std::all_of(chunks.begin(), chunks.end(), [](const Chunk& c) {
        return c.type == BITSET_CONTAINER_TYPE_CODE;
    });
    if (all_bitsets) {
        any = and_bitsets(words, chunks);
    } else {
        set_bits(words, chunks[0]);
        for (size_t j = 1; j < chunks.size() && any; ++j) any = and_bits(words, chunks[j]);
    }
    if (!any) return;
    // Listed as they are found (most meetings of several sets leave a few
    // ids): counting the bits of every word first would cost a sparse
    // result more than its listing.  Past `DEFAULT_MAX_SIZE` ids the chunk
    // is dense: the ids listed for it are taken back and its words kept.
    const size_t listed_before = out.size();
    const uint32_t high = static_cast<uint32_t>(key) << 16;
    for (size_t w = 0; w < kWords; ++w) {
        uint64_t bits = words[w];
        while (bits != 0) {
            out.push_back(high | static_cast<uint32_t>(w * 64 + __builtin_ctzll(bits)));
            bits &= bits - 1;
        }
        if (out.size() - listed_before > static_cast<size_t>(DEFAULT_MAX_SIZE)) {
            out.resize(listed_before);
            flush_listed(out, result);
            int32_t count = 0;
            for (size_t v = 0; v < kWords; ++v) count += __builtin_popcountll(words[v]);
            bitset_container_t* dense = bitset_container_create();
            if (dense == nullptr) fail(kBitmapNull);
            std::memcpy(dense->array, words, sizeof words);
            dense->cardinality = count;
            ra_append(&result.raw()->high_low_container, key, dense, BITSET_CONTAINER_TYPE_CODE);
            return;
        }
    }
}

// The ids common to the chunks of one key (`high` its upper 16 bits).
void intersect_chunks(std::vector<Chunk>& chunks, uint16_t key, std::vector<uint32_t>& out,
                      Bitmap& result) {
    // Smallest chunk first: its ids bound the answer.
    std::sort(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) {
        return chunk_cardinality(a) < chunk_cardinality(b);
    });
    if (chunks[0].type == ARRAY_CONTAINER_TYPE_CODE &&
        static_cast<const array_container_t*>(chunks[0].container)->cardinality < 256) {
        probe_each(chunks, static_cast<uint32_t>(key) << 16, out);
    } else {
        and_words(chunks, key, out, result);
    }
}

}  // namespace

Bitmap intersect_all(const Bitmap* const* sets, size_t n) {
    if (n == 0) return Bitmap();
    if (n == 1) return sets[0]->copy();
    std::vector<const roaring_array_t*> arrays(n);
    for (size_t j = 0; j < n; ++j) arrays[j] = &sets[j]->raw()->high_low_container;
    // Drive the walk by the set with the fewest chunks.
    std::iter_swap(arrays.begin(),
                   std::min_element(arrays.begin(), arrays.end(),
                                    [](const roaring_array_t* a, const roaring_array_t* b) {
                                        return a->size < b->size;
                                    }));
    const roaring_array_t& lead = *arrays[0];
    std::vector<int32_t> pos(n, 0);
    std::vector<Chunk> chunks(n);
    std::vector<uint32_t> out;
    Bitmap result;
    for (int32_t i = 0; i < lead.size; ++i) {
        const uint16_t key = lead.keys[i];
        const Alignment found = align(arrays, pos, chunks, key);
        if (found == Alignment::Exhausted) break;
        if (found == Alignment::Missing) continue;
        chunks[0] = chunk_at(lead, i);
        intersect_chunks(chunks, key, out, result);
    }
    // No dense chunk: the listed ids make the whole answer at once.
    if (result.empty()) return Bitmap::of(out.data(), out.size());
    flush_listed(out, result);
    return result;
}

}  // namespace corvane
