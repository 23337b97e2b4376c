// Ordering by an attribute and counting its values.
//
// Both work within a universe of ids (an index's members or a view's
// selection) on the attribute maps alone: the order comes from the range
// tree's walk, the counts from the value sets' cardinalities, and neither
// builds a list of objects it does not return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/record.hpp"
#include "engine/value.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

// The ids of `universe` ordered by the value of attribute `attr`: by range
// key, then by text in code point order (descending: texts first, then range
// keys; equal values in ascending id order either way), then those without
// an ordered value (no attribute, None, ...) in ascending id order; at most
// `limit` of them.
std::vector<uint32_t> ordered_by_attribute(const AttrMaps& maps, std::string_view attr,
                                           const Bitmap& universe, bool descending, size_t limit,
                                           size_t offset = 0);

// One distinct value of an attribute: the value as first recorded, how many
// ids of the universe hold it, and the lowest of them.
struct ValueCount {
    PyValue value;
    uint64_t count;
    uint32_t first;
};

// The distinct values of attribute `attr` held within `universe`, by
// descending count, ties by the lowest id holding each value.  Values that
// no id of the universe holds are left out.
std::vector<ValueCount> value_counts(const AttrMaps& maps, std::string_view attr,
                                     const Bitmap& universe);

}  // namespace corvane
