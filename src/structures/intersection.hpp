// The intersection of several id sets at once.
//
// Intersecting pairwise materialises every intermediate set; when each set
// is dense and the final answer is small (equality on several attributes
// of few values each), turning the first intermediate bitset into an id
// list costs more than all the rest.  `intersect_all` works one 2^16-id
// chunk at a time instead: it ANDs the chunks of every set into one scratch
// bitset and lists only the ids left at the end, or keeps the scratch bitset
// itself as the result's chunk when many are left.
#pragma once

#include <cstddef>

#include "structures/bitmap.hpp"

namespace corvane {

// The ids present in every one of `sets[0..n)` (empty when n is 0).
Bitmap intersect_all(const Bitmap* const* sets, size_t n);

}  // namespace corvane
