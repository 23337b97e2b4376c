#include "engine/lookup.hpp"

#include "engine/evaluate.hpp"

namespace corvane {

namespace {

// Call work(maps, universe) with the maps read-locked, then the members.
template <class F>
decltype(auto) within(const Locked<AttrMaps>& maps, const Universe& universe, F&& work) {
    auto m = maps.read();
    if (universe.selected != nullptr) return work(*m, *universe.selected);
    auto members = universe.members->read();
    return work(*m, *members);
}

}  // namespace

Bitmap filter_within(const Locked<AttrMaps>& maps, const HashQuery& query, const Bitmap* selected) {
    auto m = maps.read();
    Bitmap matched = filter_index_by_hashes(*m, query);
    if (selected != nullptr) return matched.and_(*selected);
    return matched;
}

Bitmap evaluate_within(const Locked<AttrMaps>& maps, const Universe& universe,
                       const QueryExpr& expr) {
    return within(maps, universe,
                  [&](const AttrMaps& m, const Bitmap& u) { return evaluate_query(m, u, expr); });
}

std::vector<uint32_t> ordered_within(const Locked<AttrMaps>& maps, const Universe& universe,
                                     std::string_view attr, bool descending, size_t limit,
                                     size_t offset) {
    return within(maps, universe, [&](const AttrMaps& m, const Bitmap& u) {
        return ordered_by_attribute(m, attr, u, descending, limit, offset);
    });
}

std::vector<ValueCount> value_counts_within(const Locked<AttrMaps>& maps, const Universe& universe,
                                            std::string_view attr) {
    return within(maps, universe,
                  [&](const AttrMaps& m, const Bitmap& u) { return value_counts(m, attr, u); });
}

}  // namespace corvane
