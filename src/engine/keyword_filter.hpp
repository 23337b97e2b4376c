// Keyword filters: for every attribute name, the set of accepted values.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/record.hpp"
#include "engine/value.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

// For every name, the accepted values (no two the same key).
using HashQuery = std::vector<std::pair<std::string, std::vector<PyValue>>>;

// The ids whose attributes match every keyword; not bounded by any universe.
// An empty filter matches nothing.
Bitmap filter_index_by_hashes(const AttrMaps& maps, const HashQuery& query);

}  // namespace corvane
