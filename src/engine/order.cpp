#include "engine/order.hpp"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <string>
#include <utility>

#include "engine/query_map.hpp"

namespace corvane {

namespace {

const QueryMap* find_map(const AttrMaps& maps, std::string_view attr) {
    auto it = maps.find(std::string(attr));
    return it == maps.end() ? nullptr : it->second.get();
}

// By descending count, ties by the lowest id holding each value.
void sort_counts(std::vector<ValueCount>& counts) {
    std::sort(counts.begin(), counts.end(), [](const ValueCount& a, const ValueCount& b) {
        if (a.count != b.count) return a.count > b.count;
        return a.first < b.first;
    });
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

// One value reached along a dotted path, with the ids of the universe whose
// path leads to it.
using ValueIds = std::pair<PyValue, Bitmap>;

std::vector<ValueIds> values_along(const QueryMap& map, std::string_view rest,
                                   const Bitmap& universe, const AttrMaps* owner);

// The values that `rest` takes on the objects `reached` of the index whose
// maps are `maps`, each with the objects leading to it.  `closed`: that
// index is a cycle index, whose maps look dotted paths up in itself.
std::vector<ValueIds> values_on(const AttrMaps& maps, std::string_view rest, const Bitmap& reached,
                                bool closed) {
    std::vector<ValueIds> out;
    const size_t dot = rest.find('.');
    const QueryMap* next = find_map(maps, rest.substr(0, dot));
    if (next == nullptr) return out;
    if (dot != std::string_view::npos)
        return values_along(*next, rest.substr(dot + 1), reached, closed ? &maps : nullptr);
    for (const auto& [value, ids] : next->exact) {
        Bitmap within = ids.as_bitmap();
        within.and_inplace(reached);
        if (!within.empty()) out.emplace_back(value, std::move(within));
    }
    return out;
}

// Unite `more` into `into`, each value once.
void unite_values(std::vector<ValueIds>& into, std::vector<ValueIds>&& more) {
    absl::flat_hash_map<PyValue, size_t, PyValueHash, PyValueEq> at;
    for (size_t i = 0; i < into.size(); ++i) at.emplace(into[i].first, i);
    for (auto& [value, ids] : more) {
        auto it = at.find(value);
        if (it != at.end()) {
            into[it->second].second.or_inplace(ids);
        } else {
            at.emplace(value, into.size());
            into.emplace_back(std::move(value), std::move(ids));
        }
    }
}

// The values that `rest` (a name or a dotted path) takes on the nested
// objects of `map`, each with the ids of `universe` holding such an object.
// A holder appears only where its whole path resolves.  The nested index's
// maps (and the cycle index's) are read under their own lock, below the
// caller's; a map of a cycle index looks `rest` up in `owner`, the maps of
// that index, which the caller holds.
std::vector<ValueIds> values_along(const QueryMap& map, std::string_view rest,
                                   const Bitmap& universe, const AttrMaps* owner) {
    std::vector<ValueIds> out;
    // The nested objects that ids of the universe hold.
    Bitmap reached;
    for (const auto& [nested_id, holders] : map.holders) {
        bool held = false;
        if (holders.form() == HybridSet::Form::Large) {
            held = roaring_bitmap_intersect(holders.bitmap().raw(), universe.raw());
        } else {
            holders.for_each([&](uint32_t id) { held = held || universe.contains(id); });
        }
        if (held) reached.add(nested_id);
    }
    if (reached.empty()) return out;
    std::vector<ValueIds> below;
    if (map.closed) {
        if (owner != nullptr) below = values_on(*owner, rest, reached, true);
    } else {
        {
            auto nested = map.nested->attr_maps->read();
            below = values_on(*nested, rest, reached, false);
        }
        Bitmap looped = reached.and_(map.looped);
        if (!looped.empty()) {
            // The objects looped here answer from the cycle index.
            auto maps = map.cycle->attr_maps->read();
            unite_values(below, values_on(*maps, rest, looped, true));
        }
    }
    // Each value's nested objects give way to the ids holding them.
    for (auto& [value, nested_ids] : below) {
        Bitmap holders = map.holders_of(nested_ids);
        holders.and_inplace(universe);
        if (!holders.empty()) out.emplace_back(value, std::move(holders));
    }
    return out;
}

// `values_along` from the top: the first name of `path` picks the map.
std::vector<ValueIds> values_along_path(const AttrMaps& maps, std::string_view path,
                                        const Bitmap& universe) {
    const size_t dot = path.find('.');
    const QueryMap* map = find_map(maps, path.substr(0, dot));
    if (map == nullptr) return {};
    return values_along(*map, path.substr(dot + 1), universe, nullptr);
}

// The order along a dotted path: ids whose value has a range key by that
// key (ties, and equal keys of distinct values, in id order), then those
// holding a text, by text (descending: the texts first), then the ids whose
// value has neither, in id order.  Ids whose path does not resolve are left
// out.
std::vector<uint32_t> ordered_along_path(const AttrMaps& maps, std::string_view path,
                                         const Bitmap& universe, bool descending) {
    std::vector<ValueIds> values = values_along_path(maps, path, universe);
    std::vector<std::pair<u128, const Bitmap*>> ranked;
    std::vector<std::pair<std::string_view, const Bitmap*>> texts;
    Bitmap rest;
    for (const auto& [value, ids] : values) {
        if (value.is_numeric()) {
            ranked.emplace_back(CompositeKey128::value_part_of(value.range_value()), &ids);
        } else if (value.key_kind() == KeyKind::Text) {
            texts.emplace_back(value.text(), &ids);
        } else {
            rest.or_inplace(ids);
        }
    }
    std::sort(ranked.begin(), ranked.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::sort(texts.begin(), texts.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    if (descending) {
        std::reverse(ranked.begin(), ranked.end());
        std::reverse(texts.begin(), texts.end());
    }
    std::vector<uint32_t> out;
    auto take_texts = [&] {
        for (const auto& t : texts) t.second->for_each([&](uint32_t id) { out.push_back(id); });
    };
    if (descending) take_texts();
    for (size_t i = 0; i < ranked.size();) {
        Bitmap tied;
        size_t j = i;
        for (; j < ranked.size() && ranked[j].first == ranked[i].first; ++j)
            tied.or_inplace(*ranked[j].second);
        tied.for_each([&](uint32_t id) { out.push_back(id); });
        i = j;
    }
    if (!descending) take_texts();
    rest.for_each([&](uint32_t id) { out.push_back(id); });
    return out;
}

}  // namespace

std::vector<uint32_t> ordered_by_attribute(const AttrMaps& maps, std::string_view attr,
                                           const Bitmap& universe, bool descending, size_t limit,
                                           size_t offset) {
    std::vector<uint32_t> out;
    if (limit == 0 || offset >= universe.cardinality()) return out;
    if (attr.find('.') != std::string_view::npos) {
        out = ordered_along_path(maps, attr, universe, descending);
        const size_t from = std::min(offset, out.size());
        const size_t to = from + std::min(limit, out.size() - from);
        return std::vector<uint32_t>(out.begin() + static_cast<std::ptrdiff_t>(from),
                                     out.begin() + static_cast<std::ptrdiff_t>(to));
    }
    if (offset != 0) {
        // The first `offset` places are walked and dropped.
        const size_t walk = limit > SIZE_MAX - offset ? SIZE_MAX : limit + offset;
        out = ordered_by_attribute(maps, attr, universe, descending, walk, 0);
        out.erase(out.begin(),
                  out.begin() + static_cast<std::ptrdiff_t>(std::min(offset, out.size())));
        return out;
    }
    const QueryMap* map = find_map(maps, attr);
    // Texts follow every other ordered family (and so come first when
    // descending).
    auto take_texts = [&] {
        map->texts.walk(map->exact, descending, [&](Bitmap ids) {
            ids.and_inplace(universe);
            roaring_uint32_iterator_t it;
            roaring_init_iterator(ids.raw(), &it);
            for (; it.has_value && out.size() < limit; roaring_advance_uint32_iterator(&it))
                out.push_back(it.current_value);
            return out.size() < limit;
        });
    };
    if (map != nullptr) {
        if (descending) take_texts();
        if (out.size() < limit) {
            std::vector<uint32_t> tree =
                map->ranged->settled().ordered_ids(descending, limit - out.size(), universe);
            out.insert(out.end(), tree.begin(), tree.end());
        }
        if (!descending && out.size() < limit) take_texts();
    }
    if (out.size() >= limit) return out;
    // The walks were not cut short, so they gave every id of the universe
    // that has a range key or a text: the rest follow in id order.
    const Bitmap ranked = Bitmap::of(out.data(), out.size());
    roaring_uint32_iterator_t it;
    roaring_init_iterator(universe.raw(), &it);
    for (; it.has_value && out.size() < limit; roaring_advance_uint32_iterator(&it)) {
        if (!ranked.contains(it.current_value)) out.push_back(it.current_value);
    }
    return out;
}

std::vector<ValueCount> value_counts(const AttrMaps& maps, std::string_view attr,
                                     const Bitmap& universe) {
    std::vector<ValueCount> out;
    if (attr.find('.') != std::string_view::npos) {
        for (auto& [value, ids] : values_along_path(maps, attr, universe))
            out.push_back(ValueCount{value, ids.cardinality(), roaring_bitmap_minimum(ids.raw())});
        sort_counts(out);
        return out;
    }
    const QueryMap* map = find_map(maps, attr);
    if (map == nullptr) return out;
    out.reserve(map->exact.size());
    for (const auto& [value, ids] : map->exact) {
        uint64_t count = 0;
        uint32_t first = 0;
        count_within(ids, universe, count, first);
        if (count != 0) out.push_back(ValueCount{value, count, first});
    }
    sort_counts(out);
    return out;
}

}  // namespace corvane
