// Reading and changing the store of an index under its lock.
//
// The store of an index (not that of a nested index) changes only while the
// interpreter lock is held, so that the collector always sees it whole (see
// the binding's store owner).  The objects these functions hand out are
// borrowed from the store: they stay valid while the caller keeps the
// interpreter lock and runs no Python code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/entry.hpp"
#include "engine/locked.hpp"
#include "engine/store.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

// True when slot `id` holds `obj`.
bool store_holds(const Locked<Store>& store, uint32_t id, const PyObject* obj);
// The position in `objects` of the first one whose slot (`ids`, one for
// each) does not hold it, or `objects.size()` when every one is held.
size_t first_not_held(const Locked<Store>& store, const std::vector<uint32_t>& ids,
                      const std::vector<PyObject*>& objects);
// How many objects the store holds.
size_t stored_count(const Locked<Store>& store);
// How many of `ids` have a stored object.
size_t count_stored(const Locked<Store>& store, const Bitmap& ids);
// The stored objects of `ids`, in ascending id order, written to `out`
// (room for `ids.cardinality()` of them); ids without a stored object are
// skipped.  Returns how many were written.  `touch`, when given, is called
// with each object written, a few objects after asking for its header: the
// binding takes its references there while the headers arrive.
size_t gather_stored(const Locked<Store>& store, const Bitmap& ids, PyObject** out,
                     void (*touch)(PyObject*) = nullptr);
// The stored objects of `ids`, in the order given, passing over ids
// without one.
std::vector<PyObject*> stored_in_order(const Locked<Store>& store,
                                       const std::vector<uint32_t>& ids);
// Every stored object, in ascending id order.
std::vector<PyObject*> all_stored(const Locked<Store>& store);
// The ids of `ids` that have a stored object.
Bitmap stored_among(const Locked<Store>& store, const Bitmap& ids);

// Store one item in slot `id`.
void put_item(Locked<Store>& store, uint32_t id, StoredItem item);
// Store the item of every entry, moving it out of the entry.
void put_entries(Locked<Store>& store, std::vector<Entry>& entries);
// Store each item whose slot does not hold its object yet; the other
// handles are dropped.  Returns the objects stored.
std::vector<PyObject*> put_absent(Locked<Store>& store,
                                  std::vector<std::pair<uint32_t, StoredItem>> items);
// Empty the slots of `ids` and hand their items to the caller, who drops
// them once that may run finalisers.
std::vector<StoredItem> take_items(Locked<Store>& store, const std::vector<uint32_t>& ids);

// Call visit(obj) for every stored object, without the lock, until one call
// returns non-zero; returns that value or 0.  Only for the collector, which
// runs while the interpreter lock is held, under which alone the store of
// an index changes.
template <class F>
int visit_stored_unlocked(Locked<Store>& store, F&& visit) {
    int failed = 0;
    store.unsafe_get().for_each([&](PyObject* obj) {
        if (failed == 0) failed = visit(obj);
    });
    return failed;
}

}  // namespace corvane
