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
// member ids before the source's (at every level of nesting).  The nested
// indexes of one top index form a tree under it (each map owns its own), so
// taking a parent's locks before a child's never closes a cycle.  The cycle
// index they share (see `QueryMap::cycle`) comes after all of them: its
// locks are taken last, and no lock of the tree is taken while they are
// held (in `union_with`, the target's cycle index before the source's).  Nested
// objects are registered with the nested indexes holding them: an
// assignment to such an object updates each of its indexes in turn, holding
// one index's locks at a time (and below them those of its nested indexes),
// never two unrelated indexes' at once.  No engine
// operation needs the interpreter lock while it holds an index lock: nested
// objects are read into `Entry` snapshots before any lock is taken.  The one
// exception is `reduce_index`, which keeps the interpreter lock throughout
// and reads the selected objects through its reader while it holds the
// index's locks; the reader runs no Python code and waits for no lock.
// Only engine operations take these locks (the binding calls them and
// works on what they report).
#pragma once

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/attr_list.hpp"
#include "engine/locked.hpp"
#include "engine/store.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

struct QueryMap;

using AttrMaps = absl::flat_hash_map<std::string, std::unique_ptr<QueryMap>>;
using SharedMaps = std::shared_ptr<Locked<AttrMaps>>;
using SharedStore = std::shared_ptr<Locked<Store>>;
using SharedIds = std::shared_ptr<Locked<Bitmap>>;

// The pairs an index entered for each object whose pairs cannot be found
// from its current attributes when it leaves, name and value as entered:
// in a nested index every pair of every member (nested objects leave
// without being read, and their lists may have moved on meanwhile); at the
// top, the pairs under names beginning with "_" that `rebase` entered
// (assignments never move them).  Releasing an object withdraws these, so
// that it costs what the object holds, whatever the size of the index.
using RecordedPairs = std::vector<Attr>;
using Recorded = absl::flat_hash_map<uint32_t, RecordedPairs>;

// A flag read and raised without a lock.  Copies take the state of the
// original (records are built by value, then shared).
class StickyFlag {
public:
    StickyFlag() noexcept = default;
    StickyFlag(const StickyFlag& o) noexcept : raised_(o.raised()) {}
    StickyFlag& operator=(const StickyFlag& o) noexcept {
        raised_.store(o.raised(), std::memory_order_release);
        return *this;
    }
    bool raised() const noexcept { return raised_.load(std::memory_order_acquire); }
    void raise() noexcept { raised_.store(true, std::memory_order_release); }

private:
    std::atomic<bool> raised_{false};
};

struct IndexAPI {
    SharedMaps attr_maps;
    SharedStore items;
    SharedIds member_ids;
    // 0 for an index of its own, one more than its owner's for a nested
    // index: how deep inside a top index it lies, which bounds how deep a
    // value assigned to one of its objects may nest.
    uint32_t depth = 0;
    // See `Recorded`.  Guarded by the lock of `attr_maps`.
    Recorded recorded;
    // A cycle index (see `QueryMap::cycle`): its objects hold only objects
    // of its own, so each of its maps looks a dotted path up in the index
    // itself, and its maps have no nested indexes of their own in use.
    bool closed = false;
    // Of a cycle index: for each object that some map reaches through a
    // loop, how many maps do; every member is reachable from them.
    // Guarded by the lock of `attr_maps`.
    absl::flat_hash_map<uint32_t, uint32_t> roots;
    // Of an index of its own and its nested indexes: the cycle index they
    // share (see `QueryMap::cycle`), made with the first map.  Set before
    // the index is shared.
    std::shared_ptr<IndexAPI> cycle;
    // Raised (never lowered) before `reduce_index` narrows the value sets,
    // or `union_with` merges in a record that has it raised: from then on
    // a member may be missing from the value set of its value, which an
    // assignment of that value enters again.  While it is down, every
    // member is in the value set of each of its values, so an assignment
    // that records the object as it was recorded changes nothing here.
    StickyFlag narrowed;
    // Raised with the first record's `narrowed`: while it is down, no
    // record's is up, and nothing needs reading a record to know it.
    static inline StickyFlag narrowed_anywhere;

    // A record with three empty parts.
    static IndexAPI make();
};

// A nested object that an engine operation entered into a nested index (or
// merged into one): the binding registers the object with that index once
// the operation is over, under the interpreter lock, so that the object's
// later assignments keep the nested index current.  `entry` is the snapshot
// the object was entered from (null when it was merged from another index),
// owned by the caller, which keeps it alive until the registration.
// An object merged from another index has `snapshot` instead: the pairs the
// union copied for it, which the registration compares with the object's
// current attributes, as it compares an entry's.
struct Entry;
struct NestedEntered {
    std::weak_ptr<IndexAPI> index;
    StoredItem item;
    const Entry* entry = nullptr;
    std::shared_ptr<const AttrList> snapshot = nullptr;
};
using EnteredList = std::vector<NestedEntered>;

// How `validate_record` checks a record beyond its structure.
struct RecordCheck {
    // The current attributes of a stored object, or null when it cannot be
    // read now (an assignment to it is under way).  When set, every map
    // must record what the objects hold now: their range pairs and holders
    // exactly, and their value sets where narrowing left them (names
    // beginning with "_" are not followed by assignments, and not checked).
    std::function<const AttrList*(PyObject* obj)> read;
    // No object reaches itself through its nested values (see `MapContext`).
    bool acyclic = false;
};

// Check a whole record: its store (`Store::validate`) holds an object for
// exactly its member ids; every map (`QueryMap::validate`) against those
// ids, the maps of nested indexes as never narrowed; every object holding a
// number or a nested object under a name has a map of that name; then each
// nested index in turn, down to the deepest.  Takes the read locks in the
// documented order, holding an index's while its nested indexes are
// checked.  Throws InternalFailure naming the first violation and where it
// lies ("maps[\"c\"].nested.maps[\"a\"]").  A check meets each lock at a
// time of its own: run it where no operation on the index is under way.
void validate_record(const IndexAPI& index, const RecordCheck& check = {});
// The same for the maps and store a view shares with its index, whose
// members are the ids of the stored objects.
void validate_shared(const Locked<AttrMaps>& maps, const Locked<Store>& items,
                     const RecordCheck& check = {});

// The process-wide placeholder index: never holds objects, never dropped.
const std::shared_ptr<IndexAPI>& default_index_arc();

}  // namespace corvane
