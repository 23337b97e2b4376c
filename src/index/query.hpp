// Per-attribute value maps and keyword filters.
//
// A `QueryMap` answers three questions about one attribute of an index's
// objects: which ids hold a value (`exact`), which ids hold a number inside a
// range (`ranged`), and, for values that are themselves `Indexable` objects,
// which ids hold an object matching a query on its own attributes (`nested`,
// a complete index of those objects, and `holders`, from a nested object's id
// to the ids of the objects holding it).
#pragma once

#include <Python.h>

#include <absl/container/flat_hash_map.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/hybrid_set.hpp"
#include "index/index.hpp"
#include "structures/ranged_b_tree.hpp"
#include "index/value.hpp"

namespace corvane {

struct QueryMap {
    absl::flat_hash_map<PyValue, HybridSet, PyValueHash, PyValueEq> exact;
    std::unique_ptr<BitMapBTree> ranged;
    absl::flat_hash_map<uint32_t, HybridSet> holders;
    IndexAPI nested;

    QueryMap();

    // True when `id` is already recorded under a value equal to `value`.
    bool has_pair(const PyValue& value, uint32_t id) const;
    // Record `id` under `value`.  A pair that is already recorded is left
    // alone, so re-entering an object never duplicates anything.  With
    // `pending`, a numeric pair is queued there for the range tree instead
    // of entered at once (batches enter them in key order, see
    // `enter_pending`).
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
    // Unite another map's value sets into this one.
    void merge(const QueryMap& other);
};

// A keyword filter: for every name, the accepted values (no two the same key).
using HashQuery = std::vector<std::pair<std::string, std::vector<PyValue>>>;

// Turn keyword arguments (vectorcall form) into a keyword filter.  Requires
// the interpreter lock; an exception raised while iterating a filter value
// propagates unchanged.
HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames);

// The ids whose attributes match every keyword; not bounded by any universe.
// Touches no Python object.
Bitmap filter_index_by_hashes(const AttrMaps& maps, const HashQuery& query);

// The text of an attribute name given as a Python str.  Names that cannot be
// encoded as UTF-8 become the empty name.
std::string attribute_name(PyObject* name);

}  // namespace corvane
