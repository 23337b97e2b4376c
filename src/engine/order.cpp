#include "engine/order.hpp"

#include <algorithm>
#include <string>

#include "engine/query_map.hpp"

namespace corvane {

namespace {

const QueryMap* find_map(const AttrMaps& maps, std::string_view attr) {
    auto it = maps.find(std::string(attr));
    return it == maps.end() ? nullptr : it->second.get();
}

// Count the ids of `set` within `universe` and find the lowest of them.
void count_within(const HybridSet& set, const Bitmap& universe, uint64_t& count, uint32_t& first) {
    count = 0;
    first = UINT32_MAX;
    if (set.form() != HybridSet::Form::Large) {
        set.for_each([&](uint32_t id) {
            if (!universe.contains(id)) return;
            ++count;
            first = std::min(first, id);
        });
        return;
    }
    const Bitmap& bm = set.bitmap();
    count = bm.and_cardinality(universe);
    if (count == 0) return;
    // The lowest common id: walk the smaller set until the other holds one.
    const bool own_smaller = bm.cardinality() <= universe.cardinality();
    const Bitmap& walk = own_smaller ? bm : universe;
    const Bitmap& other = own_smaller ? universe : bm;
    roaring_uint32_iterator_t it;
    roaring_init_iterator(walk.raw(), &it);
    for (; it.has_value; roaring_advance_uint32_iterator(&it)) {
        if (other.contains(it.current_value)) {
            first = it.current_value;
            return;
        }
    }
}

}  // namespace

std::vector<uint32_t> ordered_by_attribute(const AttrMaps& maps, std::string_view attr,
                                           const Bitmap& universe, bool descending, size_t limit,
                                           size_t offset) {
    std::vector<uint32_t> out;
    if (limit == 0 || offset >= universe.cardinality()) return out;
    if (offset != 0) {
        // The first `offset` places are walked and dropped.
        const size_t walk = limit > SIZE_MAX - offset ? SIZE_MAX : limit + offset;
        out = ordered_by_attribute(maps, attr, universe, descending, walk, 0);
        out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(offset, out.size())));
        return out;
    }
    const QueryMap* map = find_map(maps, attr);
    if (map != nullptr && map->ranged) out = map->ranged->ordered_ids(descending, limit, universe);
    if (out.size() >= limit) return out;
    // The walk was not cut short, so it gave every id of the universe that
    // has a range key: the rest follow in id order.
    const Bitmap ranked = Bitmap::of(out.data(), out.size());
    roaring_uint32_iterator_t it;
    roaring_init_iterator(universe.raw(), &it);
    for (; it.has_value && out.size() < limit; roaring_advance_uint32_iterator(&it)) {
        if (!ranked.contains(it.current_value)) out.push_back(it.current_value);
    }
    return out;
}

std::vector<ValueCount> value_counts(const AttrMaps& maps, std::string_view attr, const Bitmap& universe) {
    std::vector<ValueCount> out;
    const QueryMap* map = find_map(maps, attr);
    if (map == nullptr) return out;
    out.reserve(map->exact.size());
    for (const auto& [value, ids] : map->exact) {
        uint64_t count = 0;
        uint32_t first = 0;
        count_within(ids, universe, count, first);
        if (count != 0) out.push_back(ValueCount{value, count, first});
    }
    std::sort(out.begin(), out.end(), [](const ValueCount& a, const ValueCount& b) {
        if (a.count != b.count) return a.count > b.count;
        return a.first < b.first;
    });
    return out;
}

}  // namespace corvane
