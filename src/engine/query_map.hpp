// The value map of one attribute of an index.
//
// A `QueryMap` answers three questions about one attribute of an index's
// objects: which ids hold a value (`exact`), which ids hold a number inside a
// range (`ranged`), and, for values that are themselves `Indexable` objects,
// which ids hold an object matching a query on its own attributes (`nested`,
// a complete index of those objects, and `holders`, from a nested object's id
// to the ids of the objects holding it).
#pragma once

#include <absl/container/flat_hash_map.h>

#include <memory>
#include <string_view>
#include <vector>

#include "engine/entry.hpp"
#include "engine/record.hpp"
#include "engine/value.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/ranged_b_tree.hpp"

namespace corvane {

struct QueryMap {
    absl::flat_hash_map<PyValue, HybridSet, PyValueHash, PyValueEq> exact;
    std::unique_ptr<BitMapBTree> ranged;
    absl::flat_hash_map<uint32_t, HybridSet> holders;
    IndexAPI nested;

    QueryMap();

    // True when `id` is already recorded under a value equal to `value`.
    bool has_pair(const PyValue& value, uint32_t id) const;
    // True when nothing in the map refers to any object: no value entry, no
    // range pair, no holder and an empty nested index.  Only such a map may
    // be dropped.
    bool unused() const;
    // Record `id` under `value`.  Each part (value set, range tree, holders,
    // nested index) is checked on its own and only what it lacks is entered:
    // a pair can be in one part and not in another (`reduce` narrows only
    // the value sets, `union_with` merges only them), and re-entering an
    // object never duplicates anything.  With `pending`, a numeric pair is
    // queued there for the range tree instead of entered at once (batches
    // enter them in key order, see `enter_pending`; the tree refuses a pair
    // it already holds).
    void insert(const PyValue& value, uint32_t id, const Entry* nested_entry,
                std::vector<CompositeKey128>* pending = nullptr);
    // Enter queued numeric pairs into the range tree, in key order: sorted
    // insertion walks the same few nodes again and again instead of a random
    // root-to-leaf path per pair.
    void enter_pending(std::vector<CompositeKey128>& pending);
    // Withdraw `id` from `value`: from its id set, from the range tree, and
    // for an `Indexable` value from that object's holders.
    void remove_id(const PyValue& value, uint32_t id);
    // Drop the entry of `value` if its id set has become empty.
    void check_prune(const PyValue& value);
    // Unite another map's value sets into this one.  The range tree, the
    // holders and the nested index are not merged: a later `insert` of a
    // merged pair enters it there.
    void merge(const QueryMap& other);
};

// The map of attribute `name`, created empty if there is none yet.
QueryMap& map_for(AttrMaps& maps, std::string_view name);

}  // namespace corvane
