// The value map of one attribute of an index.
//
// A `QueryMap` answers four questions about one attribute of an index's
// objects: which ids hold a value (`exact`), which ids hold a tuple or
// frozenset with a given element (`elements`), which ids hold a number
// inside a range (`ranged`), which ids hold a text inside a range of texts
// (`texts`, the distinct texts in order beside their value sets), and, for
// values that are themselves `Indexable` objects, which ids hold an object
// matching a query on its own attributes (`nested`, an index of
// those objects, and `holders`, from a nested object's id to the ids of the
// objects holding it).
//
// The element sets follow the value sets: an id is in the set of an element
// key exactly when it is in the value set of a value with that element, so
// every change to a value set (entering, withdrawing, narrowing, merging)
// makes the same change to the element sets of its value.
//
// A reference cycle would make the nested indexes nest without end.  An
// object met again on the chain being entered (a loop, see `NestedEntry`)
// is not entered into the nested index: it goes to `cycle`, the cycle index
// that an index of its own shares with all its nested indexes, which holds
// it and every object reachable from it, each once, and whose maps answer
// dotted paths from its own members (`closed`); the map lists it in
// `looped`.  An object of the cycle index is never entered into a nested
// index again: wherever it is met, it is looped.  A dotted path from a
// holder thus follows the objects it reaches, whatever the order in which
// they were entered, and each object of a cycle nests only as deep as the
// chain that first closed it.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/entry.hpp"
#include "engine/record.hpp"
#include "engine/text_order.hpp"
#include "engine/value.hpp"
#include "structures/buffered_tree.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/ranged_b_tree.hpp"

namespace corvane {

// What an object holds under one name, as `QueryMap::validate` asks it:
// `known` false when the object cannot be read now (nothing is checked),
// else its value, or null when it has no attribute of that name.
struct HeldValue {
    bool known = false;
    const PyValue* value = nullptr;
};

// What `QueryMap::validate` checks a map against.
struct MapContext {
    // The ids of the index owning the map.
    const Bitmap* members = nullptr;
    // The value sets were never narrowed (true of nested indexes): every id
    // of the range tree and the holders is in a value set too.
    bool complete = false;
    // No object reaches itself through its nested values, so every object
    // a holder refers to was entered into the nested index.  (In a
    // reference cycle, the object met again is only recorded.)
    bool acyclic = false;
    // The depth of the index owning the map.
    uint32_t depth = 0;
    // What the object of a member id holds under the map's name now; when
    // set, the range tree and the holders must record exactly that, and a
    // value set holding the id must be that value's.
    std::function<HeldValue(uint32_t id)> held;
    // When set, the pairs the index recorded for its objects (see
    // `Recorded`), which must agree with the map of `name`: every id the map
    // lists under a value, in its range tree or among its holders has that
    // pair recorded, and every pair recorded under `name` is in the map (in
    // its value sets too when they are complete).
    const Recorded* recorded = nullptr;
    std::string_view name;
};

struct QueryMap {
    ValueSets exact;
    // From each element key of the tuple and frozenset values to the ids
    // holding such a value; empty while no such value was entered.
    ValueSets elements;
    std::unique_ptr<BufferedTree> ranged;
    TextOrder texts;
    absl::flat_hash_map<uint32_t, HybridSet> holders;
    // Shared so that the nested objects can be registered with it weakly.
    std::shared_ptr<IndexAPI> nested;
    // The cycle index of the index owning the map (see above; made with
    // the first loop when that index has none), null in a cycle index.
    std::shared_ptr<IndexAPI> cycle;
    // The objects held here that answer from `cycle` (each a root there,
    // each among `holders`, none in `nested`).
    Bitmap looped;
    // A map of a cycle index: its nested objects are members of the index
    // owning the map, and `nested` stays empty.
    bool closed = false;

    // `owner`: the index owning the map (null: one of depth 0 without a
    // cycle index).
    explicit QueryMap(const IndexAPI* owner = nullptr);

    // True when `id` is already recorded under a value equal to `value`.
    bool has_pair(const PyValue& value, uint32_t id) const;
    // True when nothing in the map refers to any object: no value entry, no
    // range pair, no text kept aside, no holder and an empty nested index.  Only such a map may
    // be dropped.
    bool unused() const;
    // Record `id` under `value`.  Each part (value set, range tree, holders,
    // nested index) is checked on its own and only what it lacks is entered:
    // a pair can be in one part and not in another (`reduce` narrows only
    // the value sets), and re-entering an object never duplicates anything.
    // A nested object already in the nested index is not entered again: it
    // is registered with that index, which its assignments keep current.
    // A loop enters the object, and what it reaches, into `cycle` instead;
    // a map of a cycle index enters no nested object (its owner does).
    // Every nested object entered is reported in `entered`.  (Batches fill
    // their value and element sets a value group at a time, and their range
    // pairs with `queue_range` and `enter_pending` instead.)
    void insert(const PyValue& value, uint32_t id, const Entry* nested_entry, EnteredList* entered);
    // Queue (value, id) in `pending` when the value has a range key.
    static void queue_range(const PyValue& value, uint32_t id,
                            std::vector<CompositeKey128>& pending) {
        if (value.is_numeric()) pending.push_back(CompositeKey128::make(value.range_value(), id));
    }
    // Enter queued numeric pairs into the range tree at once (see
    // `BitMapBTree::insert_many`), leaving `pending` empty.
    void enter_pending(std::vector<CompositeKey128>& pending);
    // The same for pairs held as keys (see `BitMapBTree::insert_many`).
    void enter_pending(std::vector<u128>& keys, std::vector<CompositeKey128>& inexact);
    // Record `id` under every element key of `value` (nothing for a value
    // without elements): the element part of `insert`.
    void enter_elements(const PyValue& value, uint32_t id);
    // Withdraw `id` from every element key of `value`, dropping the sets
    // left empty.
    void withdraw_elements(const PyValue& value, uint32_t id);
    // Withdraw `id` from `value`: from its id set (dropping the entry when
    // the set is left empty) and its element sets, from the range tree, and
    // for an `Indexable` value from that object's holders.
    void withdraw(const PyValue& value, uint32_t id);
    // Drop the (emptied) value set at `it`, and the place of its text when
    // nothing else keeps it.
    void drop_set(ValueSets::iterator it);
    // Unite another map into this one, part by part: value sets, element
    // sets, range pairs, texts, holders and nested index, nothing recorded
    // twice.  The nested
    // objects new to this map's nested index are reported in `entered`.
    void merge(const QueryMap& other, EnteredList* entered);
    // The ids holding any of `nested_ids` (ids of the nested index), united
    // in one pass.
    Bitmap holders_of(const Bitmap& nested_ids) const;
    // `cycle`, created empty if null.
    const std::shared_ptr<IndexAPI>& cycle_index();
    // The nested objects `gone`, which no holder of the map refers to any
    // more, stop being looped here; what no root reaches any more leaves
    // the cycle index.
    void drop_looped(const Bitmap& gone);

    // Check every invariant of the map against `context`: each id set is a
    // set (no placeholder, no id twice) of member ids; an id is in at most
    // one value set, has at most one range pair and at most one holder, and
    // they agree with the value set holding it; the element sets are those
    // the value sets imply; the range tree is sound
    // (`BitMapBTree::validate`); every object of the nested index has a
    // holder; every object held is in the nested index or a root of the
    // cycle index, whose members are exactly what its roots reach (in a map
    // of a cycle index, every object held is a member of its owner).  The
    // nested and cycle indexes' parts are read under their locks; the
    // indexes themselves are checked by `validate_record`.  Throws
    // InternalFailure naming the first violation.
    void validate(const MapContext& context) const;

private:
    // The part of `validate` on the nested index, the cycle index and the
    // looped objects.
    void validate_nested(const MapContext& c) const;
    // Withdraw `id` from `value` in the range tree, the texts' kept ids and
    // the holders.
    void remove_pair_outside_sets(const PyValue& value, uint32_t id);
    // The nested part of `insert`, for a nested object not yet entered.
    void enter_nested(uint32_t nested_id, const Entry& entry, EnteredList* entered);
    // Loop `nested_id` to the cycle index, entering what `closing` (the
    // entry of a loop that closes a cycle, or null) reaches when the cycle
    // index lacks the object.  False, changing nothing, when it lacks the
    // object and there is no such entry.
    bool loop(uint32_t nested_id, const Entry* closing, EnteredList* entered);
};

// The map of attribute `name`, created empty if there is none yet.
// `owner`: the index owning `maps` (see `QueryMap::QueryMap`), whose cycle
// index is made here if it has none.
QueryMap& map_for(AttrMaps& maps, std::string_view name, IndexAPI* owner);

}  // namespace corvane
