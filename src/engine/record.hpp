// The engine record of an index.
//
// `IndexAPI` owns three separately shared, separately locked parts: the
// attribute maps (name to `QueryMap`), the object store and the set of member
// ids.  An `Index` holds one shared handle to its record; views share the
// maps and the store; indexed objects hold weak handles to the whole record.
//
// Locks are taken in this order: `attr_maps` before `member_ids` and before
// `items`; an index's locks before those of the nested indexes inside its
// maps; in `union_with`, the target's maps before the source's, then the target's
// member ids before the source's.  No engine
// operation needs the interpreter lock while it holds an index lock: nested
// objects are read into `Entry` snapshots before any lock is taken.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <memory>
#include <string>

#include "engine/locked.hpp"
#include "engine/store.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

struct QueryMap;

using AttrMaps = absl::flat_hash_map<std::string, std::unique_ptr<QueryMap>>;
using SharedMaps = std::shared_ptr<Locked<AttrMaps>>;
using SharedStore = std::shared_ptr<Locked<Store>>;
using SharedIds = std::shared_ptr<Locked<Bitmap>>;

struct IndexAPI {
    SharedMaps attr_maps;
    SharedStore items;
    SharedIds member_ids;

    // A record with three empty parts.
    static IndexAPI make();
};

// The process-wide placeholder index: never holds objects, never dropped.
const std::shared_ptr<IndexAPI>& default_index_arc();

}  // namespace corvane
