// Answering from an index's maps under their locks: keyword filters,
// expressions, orderings and value counts.
//
// A lookup runs within a universe of ids: the selected ids of a view, or
// the member ids of an index, read under their lock, taken after the maps'
// as the lock order asks.  Lookups take no interpreter lock and may run
// without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/keyword_filter.hpp"
#include "engine/locked.hpp"
#include "engine/order.hpp"
#include "engine/query_expr.hpp"
#include "engine/record.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

// Exactly one of the two is set.
struct Universe {
    const Bitmap* selected = nullptr;
    const Locked<Bitmap>* members = nullptr;
};

// The ids matching a keyword filter, within `selected` when it is set.  A
// whole index answers from its maps as they are.
Bitmap filter_within(const Locked<AttrMaps>& maps, const HashQuery& query, const Bitmap* selected);
// The ids matching an expression within the universe.
Bitmap evaluate_within(const Locked<AttrMaps>& maps, const Universe& universe,
                       const QueryExpr& expr);
// The ids of the universe ordered by attribute `attr` (see
// `ordered_by_attribute`).
std::vector<uint32_t> ordered_within(const Locked<AttrMaps>& maps, const Universe& universe,
                                     std::string_view attr, bool descending, size_t limit,
                                     size_t offset = 0);
// Each distinct value of `attr` in the universe with its count (see
// `value_counts`).
std::vector<ValueCount> value_counts_within(const Locked<AttrMaps>& maps, const Universe& universe,
                                            std::string_view attr);

}  // namespace corvane
