// Evaluation of query expressions.
//
// An expression is evaluated against the attribute maps of an index within a
// universe of ids; every result lies within the universe.  Evaluation works
// on stored hashes, range trees and bitmaps only.  Dotted attribute paths
// ("owner.age") descend into the nested index of the head attribute and map
// the matching nested objects back to their holders.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "engine/query_expr.hpp"
#include "engine/record.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

struct QueryMap;

// Split an attribute path at its first ".": head and, if there was a dot,
// the tail (which may be empty or contain more dots).
std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view attr);

Bitmap evaluate_query(const AttrMaps& maps, const Bitmap& universe, const QueryExpr& expr);
Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr);
// Evaluate over an index with its members as the universe (takes the
// index's read locks).
Bitmap reduced_query(const IndexAPI& index, const QueryExpr& expr);

}  // namespace corvane
