// Engine operations on an index record: entering objects, moving an object
// from one value to another, narrowing and merging.  They read objects only
// through `Entry` snapshots and touch no Python object.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/attr_list.hpp"
#include "engine/entry.hpp"
#include "engine/record.hpp"
#include "engine/value.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

struct QueryMap;

// Every operation that may enter nested objects into nested indexes reports
// them in `entered` (see `NestedEntered`); the caller registers them.
// `owner` is the index owning `maps` (null: one of depth 0 without a cycle
// index, see `map_for`).

// The pairs of `attrs` under names beginning with "_" (`hidden`) or under
// the others, as `IndexAPI::recorded` keeps them.
RecordedPairs recorded_pairs(const AttrList& attrs, bool hidden);
// Enter one object: its id, its stored item (unless `put_item` is false
// because the caller has stored it already) and its attributes.
void add_object(IndexAPI& index, const Entry& entry, bool put_item = true,
                EnteredList* entered = nullptr);
// The range pairs of a batch entered in several runs, held back by map
// until the last run is in: a range tree takes a whole batch at once far
// faster, and fuller, than a run at a time.
struct PendingRanges {
    // The pairs of one map: their stored keys, and the pairs of inexact
    // numbers (see `BitMapBTree::insert_many`).
    struct Held {
        std::vector<u128> keys;
        std::vector<CompositeKey128> inexact;
    };
    std::unordered_map<QueryMap*, Held> of;
    // The number of objects of the whole batch: room for a key each is
    // made once, instead of growing (and copying) a map's keys run by run.
    size_t expected = 0;
};
// Enter a batch of objects, taking each lock once.  The caller stores the
// items.  With `ranges`, the batch is a run of a larger one: its range pairs
// wait there for `enter_pending_ranges`.  With `adopted`, values of entries
// not looped to may hold no reference (`SharedRef::unowned`; the objects
// entered keep them alive meanwhile): a key made from one adopts a
// reference, and its object goes to `adopted`, for the caller to take that
// reference once this returns, even when it throws.
void add_object_many(IndexAPI& index, std::span<const Entry> entries,
                     EnteredList* entered = nullptr, PendingRanges* ranges = nullptr,
                     std::vector<PyObject*>* adopted = nullptr);
// Enter the range pairs held back from the runs of a batch.
void enter_pending_ranges(IndexAPI& index, PendingRanges& ranges);
// After a large batch: the sorting and grouping buffers are freed by now,
// much of them in a second thread's malloc arena, which would keep them:
// give them back to the system.
void give_back_freed() noexcept;
// Enter every attribute of an entry (names beginning with "_" only with
// `include_hidden`).
void enter_attributes(AttrMaps& maps, const Entry& entry, bool include_hidden,
                      EnteredList* entered = nullptr, IndexAPI* owner = nullptr);
// Enter one value (the single place where values enter an index by adding
// or assignment).  `nested` is the entry of an `Indexable` value.
void add_index_value(AttrMaps& maps, uint32_t id, const std::string& name, const PyValue& value,
                     const Entry* nested, EnteredList* entered = nullptr,
                     IndexAPI* owner = nullptr);
// Move `id` from `old_value` (if any) to `new_value` under `name`.  A nested
// object that nothing holds any more leaves the nested index (maps of a
// cycle index, see `QueryMap::cycle`, enter and release none).
void update_index(AttrMaps& maps, const std::string& name, const PyValue* old_value,
                  const PyValue& new_value, uint32_t id, const Entry* nested,
                  EnteredList* entered = nullptr, IndexAPI* owner = nullptr);

// Cycle indexes (see `QueryMap::cycle`).
// A new, empty cycle index at `depth`.
std::shared_ptr<IndexAPI> make_cycle_index(uint32_t depth);
// Enter the objects that `entry` reaches, following loops, which cycle
// index `cycle` lacks, each reported in `entered`.  The caller holds the
// lock of its maps (`maps`).
void enter_reachable(const std::shared_ptr<IndexAPI>& cycle, AttrMaps& maps, const Entry& entry,
                     EnteredList* entered);
// The members of cycle index `cycle` reachable from its roots (among
// `members`, its member ids) through the pairs recorded for them.  The
// caller holds the lock of its maps.
Bitmap reachable_in_cycle(const IndexAPI& cycle, const Bitmap& members);
// Withdraw from cycle index `cycle` (maps `maps`, locked by the caller)
// every member its roots no longer reach, among those that the objects
// `from` (roots dropped, or objects a member stopped holding) reach: it
// costs what they reach, whatever the size of the cycle index.
void sweep_cycle(IndexAPI& cycle, AttrMaps& maps, const Bitmap& from);
// Loop in `into` the objects `ids` that `from` (a map of another index,
// merged into `into`) loops, copying into the cycle index of `into` what
// they reach in that of `from` and the target lacks, as a union copies:
// with the pairs the source recorded for them, each reported with those as
// its snapshot.  Objects `into` holds in its nested index or loops already
// are passed over.
void copy_looped(QueryMap& into, const QueryMap& from, const Bitmap& ids, EnteredList* entered);
// An object leaving an index: its id and its current attributes, which the
// caller keeps unchanged (in exclusive use) while the engine works.
struct Leaving {
    uint32_t id;
    const AttrList* attrs;
};

// Withdraw objects from an index: every pair of their current attributes
// (names beginning with "_" too, which `rebase` enters) from the value sets, range trees and
// holders, nested objects no longer held from the nested indexes, and their ids from the member
// ids. Value entries and maps left empty are dropped.  The work is grouped by attribute, each lock
// taken once.  The caller takes the items out of the store.
void remove_objects(IndexAPI& index, const std::vector<Leaving>& leaving);
// Drop the nested object `nested_id` from the nested index of `map` when no
// holder of the map refers to it any more: its pairs leave every map of the
// nested index (and its own nested objects leave the deeper nested indexes
// when nothing holds them either), its id leaves the members and its item
// the store.  Its registration with the nested index is dropped by the
// binding at its next assignment.
void release_nested(QueryMap& map, uint32_t nested_id);
// Merge the source's maps (every part, see `QueryMap::merge`) and member
// ids into the target's.  The caller stores the source's objects in the
// target's store.
void union_with(IndexAPI& target, const IndexAPI& source, EnteredList* entered = nullptr);
// `union_with` for the nested part of a map: the objects `from` holds in
// its nested index that `into` lacks come with the pairs the source
// recorded for them (and, below, the nested objects they hold that the
// target lacks) and their stored items, and are reported with those pairs
// as their snapshot; those of the target's cycle index are looped instead,
// and the objects `from` loops come as `copy_looped` brings them.  The
// target's own members are left as they are: their registrations keep them
// current.
void merge_nested(QueryMap& into, const QueryMap& from, EnteredList* entered);
// A new index holding the objects of `entries`, each with its own stored
// item and every attribute (names beginning with "_" too), and the nested
// objects it entered, to register.
struct Rebuilt {
    std::shared_ptr<IndexAPI> index;
    EnteredList entered;
};
Rebuilt build_index(const std::vector<std::unique_ptr<Entry>>& entries);
// Keep only the `selected` ids in every value set.  The range trees and
// nested indexes are left as they are.
void narrow(AttrMaps& maps, const Bitmap& selected);

}  // namespace corvane
