// The engine record of an index and the Python class `Index`.
//
// `IndexAPI` owns three separately shared, separately locked parts: the
// attribute maps (name to `QueryMap`), the object store and the set of member
// ids.  An `Index` holds one shared handle to its `IndexAPI`; views share the
// maps and the store; indexed objects hold weak handles to the whole record.
//
// Locks are taken in this order: `attr_maps` before `member_ids` and before
// `items`; an index's locks before those of the nested indexes inside its
// maps; in `union_with`, the target's maps before the source's.  No engine
// operation needs the interpreter lock while it holds an index lock: nested
// objects are read into `Entry` snapshots before any lock is taken.
#pragma once

#include <Python.h>

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "structures/bitmap.hpp"
#include "index/stored_item.hpp"
#include "index/value.hpp"
#include "python/lock.hpp"
#include "python/use.hpp"

namespace corvane {

struct QueryMap;

using AttrMaps = absl::flat_hash_map<std::string, std::unique_ptr<QueryMap>>;
using SharedMaps = std::shared_ptr<py::Locked<AttrMaps>>;
using SharedStore = std::shared_ptr<py::Locked<Store>>;
using SharedIds = std::shared_ptr<py::Locked<Bitmap>>;

struct IndexAPI {
    SharedMaps attr_maps;
    SharedStore items;
    SharedIds member_ids;

    // A record with three empty parts.
    static IndexAPI make();
};

// The process-wide placeholder index: never holds objects, never dropped.
const std::shared_ptr<IndexAPI>& default_index_arc();

// One object about to be entered into an index, read while holding the
// interpreter lock so that entering it needs no Python call.  `attrs` points
// either at `owned` or at the attribute list of an object held in exclusive
// use for the whole operation.  For every attribute whose value is an
// `Indexable`, `nested` has the entry of that object, or null when that
// object is already being entered higher up the same chain (a reference
// cycle), in which case it is recorded but not entered again.
struct Entry {
    uint32_t id = 0;
    StoredItem item;
    const AttrList* attrs = nullptr;
    AttrList owned;
    std::vector<std::pair<size_t, std::unique_ptr<Entry>>> nested;

    const Entry* nested_for(size_t attr_index) const noexcept {
        for (const auto& [i, e] : nested)
            if (i == attr_index) return e.get();
        return nullptr;
    }
};

// Build the entry of an indexed object.  Requires the interpreter lock.
// `in_place`: point at the object's own attribute list instead of copying it
// (only when the caller holds the object in exclusive use until the entry is
// consumed).  `include_hidden`: keep names beginning with "_" in a copied
// list.  `path` holds the ids of the objects being entered above this one.
std::unique_ptr<Entry> make_entry(PyObject* indexable, bool in_place, bool include_hidden,
                                  std::vector<uint32_t>& path);
// The same, filling an entry the caller owns.
void fill_entry(Entry& entry, PyObject* indexable, bool in_place, bool include_hidden,
                std::vector<uint32_t>& path);
// Entries for the `Indexable` values of an attribute list.
void add_nested_entries(Entry& entry, std::vector<uint32_t>& path);

// Engine operations.  They touch no Python object.
// `put_item` false: the caller has stored the object already (an `Index`
// does so while it holds the interpreter lock, see `StoreOwnerObject`).
void add_object(IndexAPI& index, const Entry& entry, bool put_item = true);
void add_object_many(IndexAPI& index, const std::vector<Entry>& entries);
// Enter one value (the single place where values enter an index by adding
// or assignment).  `nested` is the entry of an `Indexable` value.
void add_index_value(AttrMaps& maps, uint32_t id, const std::string& name, const PyValue& value,
                     const Entry* nested);
// Move `id` from `old_value` (if any) to `new_value` under `name`.
void update_index(AttrMaps& maps, const std::string& name, const PyValue* old_value,
                  const PyValue& new_value, uint32_t id, const Entry* nested);
// Merge the source's attribute maps into the target's.
void union_with(IndexAPI& target, const IndexAPI& source);

// The Python class.  `store_owner` reports the objects of the store to the
// cyclic collector (see `StoreOwnerObject`); null after the collector has
// cleared the index.
struct IndexObject {
    PyObject_HEAD
    py::UseCounter use;
    std::shared_ptr<IndexAPI> api;
    PyObject* store_owner;
    PyObject* weaklist;
};

// The one Python object that reports the objects of a store to the cyclic
// collector.  The `Index` whose record holds the store and every view of
// that store hold a strong reference to it: while any of them is reachable,
// so is the owner and through it every stored object, and when all of them
// are garbage, cycles through the store (an object referring to an index or
// view that holds it) are found and freed.
struct StoreOwnerObject {
    PyObject_HEAD
    SharedStore items;
};

// A new owner object for `items`.
PyObject* new_store_owner(SharedStore items);
PyTypeObject* create_store_owner_type();

// Wrap an engine record into a new `Index` object.
PyObject* new_index_object(std::shared_ptr<IndexAPI> api);

// Build a list of the stored objects for `ids`, in ascending id order.  An id
// without a stored object is an internal failure.
PyObject* objects_for_ids(const Store& store, const Bitmap& ids);

}  // namespace corvane
