#include "engine/query_map.hpp"

#include <absl/strings/string_view.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "engine/operations.hpp"

namespace corvane {

QueryMap::QueryMap(const IndexAPI* owner)
    : ranged(std::make_unique<BufferedTree>()),
      nested(std::make_shared<IndexAPI>(IndexAPI::make())),
      cycle(owner != nullptr ? owner->cycle : nullptr), closed(owner != nullptr && owner->closed) {
    nested->depth = (owner != nullptr ? owner->depth : 0) + 1;
    nested->cycle = cycle;
}

namespace {

// The entries being entered into nested indexes on this thread, outermost
// first: a loop to one of them closes a cycle.
thread_local std::vector<const Entry*> entering;

struct Entering {
    explicit Entering(const Entry* e) { entering.push_back(e); }
    ~Entering() { entering.pop_back(); }
    Entering(const Entering&) = delete;
    Entering& operator=(const Entering&) = delete;
};

bool being_entered(const Entry* e) {
    return std::find(entering.begin(), entering.end(), e) != entering.end();
}

}  // namespace

bool QueryMap::has_pair(const PyValue& value, uint32_t id) const {
    auto it = exact.find(value);
    return it != exact.end() && it->second.contains(id);
}

bool QueryMap::unused() const {
    if (!exact.empty() || !elements.empty() || ranged->size() != 0 || !texts.empty() ||
        !holders.empty())
        return false;
    return nested->member_ids->read()->empty();
}

void QueryMap::insert(const PyValue& value, uint32_t id, const Entry* nested_entry,
                      EnteredList* entered) {
    auto [it, fresh] = exact.try_emplace(value);
    if (fresh) {
        it->second = HybridSet::small_of(id);
        if (value.key_kind() == KeyKind::Text) texts.entered(it->first);
    } else {
        it->second.add_new(id);
    }
    enter_elements(value, id);
    switch (value.kind()) {
        case CastValue::Int:
        case CastValue::Float:
        case CastValue::Ordered:
            // The tree keeps each pair once, so asking it again is harmless.
            ranged->insert(value.range_value(), id);
            break;
        case CastValue::Ind: {
            uint32_t nested_id = value.nested_id();
            auto h = holders.find(nested_id);
            if (h == holders.end()) {
                holders.emplace(nested_id, HybridSet::small_of(id));
            } else {
                h->second.add_new(id);
            }
            // No entry: the caller enters the nested object itself (a union
            // copies it).
            if (!closed && nested_entry != nullptr) enter_nested(nested_id, *nested_entry, entered);
            break;
        }
        case CastValue::Str:
        case CastValue::Unknown: break;
    }
}

void QueryMap::enter_nested(uint32_t nested_id, const Entry& entry, EnteredList* entered) {
    // An object the nested index holds already is kept current by its
    // registration there, and is not entered again: whatever the number of
    // its holders, its pairs are those of its current values.  So is one
    // looped here already.
    if (looped.contains(nested_id) || nested->member_ids->read()->contains(nested_id)) return;
    // A loop to an entry being entered above closes a cycle; a loop to one
    // entered elsewhere is the same object met on another branch, entered
    // here in full.  (An entry of its own is never being entered yet.)
    const Entry* closing = being_entered(&entry) ? &entry : nullptr;
    if (closing != nullptr || (cycle && cycle->member_ids->read()->contains(nested_id))) {
        if (loop(nested_id, closing, entered)) return;
    }
    Entering in(&entry);
    add_object(*nested, entry, true, entered);
    if (entered != nullptr) entered->push_back(NestedEntered{nested, entry.item, &entry});
}

bool QueryMap::loop(uint32_t nested_id, const Entry* closing, EnteredList* entered) {
    const std::shared_ptr<IndexAPI>& into = cycle_index();
    auto maps = into->attr_maps->write();
    const bool member = into->member_ids->read()->contains(nested_id);
    // Let go of meanwhile, and no entry to enter it from: entered as usual.
    if (!member && closing == nullptr) return false;
    if (!member) enter_reachable(into, *maps, *closing, entered);
    looped.add(nested_id);
    ++into->roots[nested_id];
    return true;
}

void QueryMap::enter_pending(std::vector<CompositeKey128>& pending) {
    ranged->insert_many(pending);
    pending.clear();
}

void QueryMap::enter_pending(std::vector<u128>& keys, std::vector<CompositeKey128>& inexact) {
    ranged->insert_many(keys, inexact);
}

void QueryMap::enter_elements(const PyValue& value, uint32_t id) {
    const std::vector<PyValue>* keys = value.elements();
    if (keys == nullptr) return;
    for (const PyValue& key : *keys) {
        auto [it, fresh] = elements.try_emplace(key);
        if (fresh) {
            it->second = HybridSet::small_of(id);
        } else {
            it->second.add_new(id);
        }
    }
}

void QueryMap::withdraw_elements(const PyValue& value, uint32_t id) {
    const std::vector<PyValue>* keys = value.elements();
    if (keys == nullptr) return;
    for (const PyValue& key : *keys) {
        auto it = elements.find(key);
        if (it == elements.end()) continue;
        it->second.remove(id);
        if (it->second.empty()) elements.erase(it);
    }
}

void QueryMap::withdraw(const PyValue& value, uint32_t id) {
    auto it = exact.find(value);
    if (it != exact.end()) {
        it->second.remove(id);
        if (it->second.empty()) drop_set(it);
    }
    withdraw_elements(value, id);
    remove_pair_outside_sets(value, id);
}

void QueryMap::drop_set(ValueSets::iterator it) {
    // The key goes with the entry: the text's place learns of it after.
    const bool text = it->first.key_kind() == KeyKind::Text;
    PyValue key = text ? it->first : PyValue();
    exact.erase(it);
    if (text) texts.set_dropped(key);
}

void QueryMap::remove_pair_outside_sets(const PyValue& value, uint32_t id) {
    if (value.is_numeric()) {
        ranged->remove(value.range_value(), id);
    } else if (value.key_kind() == KeyKind::Text) {
        texts.withdraw(exact, value, id);
    } else if (value.kind() == CastValue::Ind) {
        // The holder no longer refers to this nested object, so dotted paths
        // must stop matching through it.
        uint32_t nested_id = value.nested_id();
        auto h = holders.find(nested_id);
        if (h != holders.end()) {
            h->second.remove(id);
            if (h->second.empty()) {
                holders.erase(h);
                if (looped.contains(nested_id)) {
                    Bitmap gone;
                    gone.add(nested_id);
                    drop_looped(gone);
                }
            }
        }
    }
}

const std::shared_ptr<IndexAPI>& QueryMap::cycle_index() {
    if (!cycle) cycle = make_cycle_index(nested->depth);
    if (!nested->cycle) nested->cycle = cycle;
    return cycle;
}

void QueryMap::drop_looped(const Bitmap& gone) {
    Bitmap here = looped.and_(gone);
    if (here.empty()) return;
    looped.andnot_inplace(here);
    auto maps = cycle->attr_maps->write();
    Bitmap unrooted;
    here.for_each([&](uint32_t id) {
        auto it = cycle->roots.find(id);
        if (it != cycle->roots.end() && --it->second == 0) {
            cycle->roots.erase(it);
            unrooted.add(id);
        }
    });
    if (!unrooted.empty()) sweep_cycle(*cycle, *maps, unrooted);
}

namespace {

// Unite every set of `theirs` into the set under the same key in `mine`,
// without recording an id twice.
template <class Map>
void unite_sets(Map& mine, const Map& theirs) {
    for (const auto& [key, set] : theirs) {
        auto it = mine.find(key);
        if (it == mine.end()) {
            mine.emplace(key, set.copy());
            continue;
        }
        HybridSet& into = it->second;
        set.for_each([&](uint32_t id) {
            if (!into.contains(id)) into.add(id);
        });
    }
}

}  // namespace

void QueryMap::merge(const QueryMap& other, EnteredList* entered) {
    unite_sets(exact, other.exact);
    texts.merge(exact, other.texts);
    unite_sets(elements, other.elements);
    // The tree keeps each pair once; the other tree's pairs come in key
    // order, which walks the same few nodes again and again.
    other.ranged->settled().for_each_pair(
        [&](RangeValue v, uint32_t id) { ranged->insert(v, id); });
    unite_sets(holders, other.holders);
    merge_nested(*this, other, entered);
}

namespace {

[[noreturn]] void broken(const std::string& what) { fail("invalid value map: " + what); }

std::string id_text(uint32_t id) { return "id " + std::to_string(id); }

std::string value_text(const PyValue& v) { return v.debug(); }

// The value part a numeric value is kept under in the range tree.
u128 value_part(const PyValue& v) { return CompositeKey128::value_part_of(v.range_value()); }

// An id set of the map: a set in use, no id twice, every id a member.
void check_set(const HybridSet& set, const Bitmap& members, const std::string& what,
               bool may_be_empty) {
    if (set.form() == HybridSet::Form::Vacant) broken(what + " is a placeholder");
    if (!may_be_empty && set.empty()) broken(what + " is empty");
    for (size_t i = 0; i < set.small_len(); ++i)
        for (size_t j = i + 1; j < set.small_len(); ++j)
            if (set.small_id(i) == set.small_id(j))
                broken(what + " lists " + id_text(set.small_id(i)) + " twice");
    set.for_each([&](uint32_t id) {
        if (!members.contains(id)) broken(what + " holds " + id_text(id) + ", not a member");
    });
}

// Where each id is recorded in one map.
struct Census {
    absl::flat_hash_map<uint32_t, const PyValue*> in_sets;  // the key of its value set
    absl::flat_hash_map<uint32_t, u128> in_tree;            // the value part of its range pair
    absl::flat_hash_map<uint32_t, uint32_t> in_holders;     // the nested object it holds

    void value_sets(const QueryMap& map, const MapContext& c) {
        map.exact.validate();
        map.elements.validate();
        for (const auto& [value, set] : map.exact) {
            const std::string what = "the value set of " + value_text(value);
            check_set(set, *c.members, what, !c.complete);
            set.for_each([&](uint32_t id) {
                auto [it, fresh] = in_sets.try_emplace(id, &value);
                if (!fresh)
                    broken(id_text(id) + " is in " + what + " and in that of " +
                           value_text(*it->second));
            });
        }
    }
    void range_pairs(const QueryMap& map, const MapContext& c) {
        map.ranged->validate();
        map.ranged->settled().for_each([&](const TreeKey& k) {
            const uint32_t id = k.id();
            if (!c.members->contains(id))
                broken("the range tree holds " + id_text(id) + ", not a member");
            if (!in_tree.try_emplace(id, k.value_part()).second)
                broken(id_text(id) + " has two range pairs");
        });
    }
    void holder_sets(const QueryMap& map, const MapContext& c) {
        for (const auto& [nested_id, set] : map.holders) {
            const std::string what = "the holders of nested object " + std::to_string(nested_id);
            check_set(set, *c.members, what, false);
            set.for_each([&](uint32_t id) {
                if (!in_holders.try_emplace(id, nested_id).second)
                    broken(id_text(id) + " holds nested objects " + std::to_string(in_holders[id]) +
                           " and " + std::to_string(nested_id));
                if (in_tree.contains(id))
                    broken(id_text(id) + " has both a range pair and a nested object");
            });
        }
    }
};

// The pairs recorded for `id` under `name`, or null when none is.
const RecordedPairs* recorded_for(const Recorded& recorded, uint32_t id) {
    auto it = recorded.find(id);
    return it == recorded.end() ? nullptr : &it->second;
}

// True when `pairs` has a pair under `name` whose value `fits`.
template <class F>
bool has_recorded(const RecordedPairs* pairs, std::string_view name, F&& fits) {
    if (pairs == nullptr) return false;
    for (const auto& [n, v] : *pairs)
        if (n.view() == name && fits(v)) return true;
    return false;
}

// Every part of the map against the pairs recorded for `name`, both ways.
void check_recorded(const Census& census, const Recorded& recorded, std::string_view name,
                    bool complete) {
    for (const auto& [id, key] : census.in_sets)
        if (!has_recorded(recorded_for(recorded, id), name,
                          [&](const PyValue& v) { return v.same_key(*key); }))
            broken(id_text(id) + " is in the value set of " + value_text(*key) +
                   " but has no such pair recorded");
    for (const auto& [id, part] : census.in_tree)
        if (!has_recorded(recorded_for(recorded, id), name, [&](const PyValue& v) {
                return v.is_numeric() && value_part(v) == part;
            }))
            broken(id_text(id) + " has a range pair but no such pair recorded");
    for (const auto& [id, nested_id] : census.in_holders)
        if (!has_recorded(recorded_for(recorded, id), name, [&](const PyValue& v) {
                return v.kind() == CastValue::Ind && v.nested_id() == nested_id;
            }))
            broken(id_text(id) + " holds nested object " + std::to_string(nested_id) +
                   " but has no such pair recorded");
    for (const auto& [id, pairs] : recorded) {
        for (const auto& [n, v] : pairs) {
            if (n.view() != name) continue;
            const std::string pair = id_text(id) + " has " + value_text(v) + " recorded";
            auto s = census.in_sets.find(id);
            if (complete && (s == census.in_sets.end() || !s->second->same_key(v)))
                broken(pair + " but is not in its value set");
            if (v.is_numeric() && !census.in_tree.contains(id)) broken(pair + " but no range pair");
            if (v.kind() == CastValue::Ind && !census.in_holders.contains(id))
                broken(pair + " but is not its holder");
        }
    }
}

// The value set holding an id against its range pair and holder.  Only a
// key that is the id's very value (an identity key) or a text (never
// ordered, never nested) tells what the id holds: a number key may hold an
// object of another type equal to it, without a range key of its own.
//
// A NaN key does not tell which NaN either: where every NaN hashes alike
// (PyPy), NaNs of either sign and any payload are one key, while each keeps
// the range pair of its own sign.  What a member holds is checked against
// its pair by `check_held`.
void check_key(const Census& census, uint32_t id, const PyValue& key) {
    const bool exact_kind = key.key_kind() == KeyKind::Identity || key.key_kind() == KeyKind::Text;
    const bool any_nan = key.kind() == CastValue::Float && std::isnan(key.as_float());
    auto t = census.in_tree.find(id);
    if (t != census.in_tree.end()) {
        if (key.is_numeric() ? !any_nan && t->second != value_part(key) : exact_kind)
            broken(id_text(id) + " has a range pair that its value " + value_text(key) +
                   " does not have");
    } else if (exact_kind && key.is_numeric()) {
        broken(id_text(id) + " has no range pair for its value " + value_text(key));
    }
    auto h = census.in_holders.find(id);
    const bool nested = key.kind() == CastValue::Ind;
    if (h != census.in_holders.end()) {
        if (nested ? exact_kind && h->second != key.nested_id() : exact_kind)
            broken(id_text(id) + " holds nested object " + std::to_string(h->second) +
                   ", not its value " + value_text(key));
    } else if (exact_kind && nested) {
        broken(id_text(id) + " is not a holder of its value " + value_text(key));
    }
}

// What a member holds now against everything the map records for it.
void check_held(const Census& census, uint32_t id, const PyValue* value, bool complete) {
    auto s = census.in_sets.find(id);
    auto t = census.in_tree.find(id);
    auto h = census.in_holders.find(id);
    if (value == nullptr) {
        if (s != census.in_sets.end() || t != census.in_tree.end() || h != census.in_holders.end())
            broken(id_text(id) + " is recorded under a name it does not have");
        return;
    }
    const std::string holding = id_text(id) + " holding " + value_text(*value);
    if (s != census.in_sets.end() && !s->second->same_key(*value))
        broken(holding + " is in the value set of " + value_text(*s->second));
    if (s == census.in_sets.end() && complete) broken(holding + " is in no value set");
    if (value->is_numeric() ? t == census.in_tree.end() || t->second != value_part(*value)
                            : t != census.in_tree.end())
        broken(holding +
               (t == census.in_tree.end() ? " has no range pair" : " has another range pair"));
    if (value->kind() == CastValue::Ind
            ? h == census.in_holders.end() || h->second != value->nested_id()
            : h != census.in_holders.end())
        broken(holding + (h == census.in_holders.end() ? " is not its holder"
                                                       : " holds another nested object"));
}

// The element sets against the value sets: each element set a set of
// members, and every element key listing exactly the ids of the value sets
// whose value has that element.
void check_elements(const QueryMap& map, const MapContext& c) {
    absl::flat_hash_map<PyValue, Bitmap, PyValueHash, PyValueEq> implied;
    for (const auto& [value, set] : map.exact) {
        const std::vector<PyValue>* keys = value.elements();
        if (keys == nullptr) continue;
        for (size_t i = 0; i < keys->size(); ++i)
            for (size_t j = i + 1; j < keys->size(); ++j)
                if ((*keys)[i].same_key((*keys)[j]))
                    broken("the elements of " + value_text(value) + " list " +
                           value_text((*keys)[i]) + " twice");
        for (const PyValue& key : *keys) set.or_into(implied[key]);
    }
    for (const auto& [key, set] : map.elements) {
        const std::string what = "the element set of " + value_text(key);
        check_set(set, *c.members, what, !c.complete);
        auto it = implied.find(key);
        const Bitmap held = set.as_bitmap();
        if (it == implied.end() ? !held.empty() : !(held == it->second))
            broken(what + " is not the union of the value sets with that element");
    }
    for (const auto& [key, ids] : implied)
        if (!ids.empty() && !map.elements.contains(key))
            broken("no element set of " + value_text(key) + ", which a value set implies");
}

}  // namespace

void QueryMap::validate_nested(const MapContext& c) const {
    if (nested->depth != c.depth + 1)
        broken("nested index at depth " + std::to_string(nested->depth) + " in a map at depth " +
               std::to_string(c.depth));
    if (closed) {
        if (cycle) broken("a map of a cycle index has a cycle index of its own");
        if (!nested->member_ids->read()->empty()) broken("a map of a cycle index enters objects");
        for (const auto& [nested_id, set] : holders)
            if (!c.members->contains(nested_id))
                broken("nested object " + std::to_string(nested_id) +
                       " is held but not a member of the cycle index");
    } else {
        if (!looped.empty()) {
            if (c.acyclic) broken("objects looped where no object reaches itself");
            if (!cycle) broken("objects looped without a cycle index");
            if (!cycle->closed) broken("the cycle index is not closed");
            auto cycle_maps = cycle->attr_maps->read();
            auto members = cycle->member_ids->read();
            looped.for_each([&](uint32_t id) {
                if (!holders.contains(id))
                    broken("looped object " + std::to_string(id) + " has no holder");
                if (!members->contains(id))
                    broken("looped object " + std::to_string(id) + " is not in the cycle index");
                if (!cycle->roots.contains(id))
                    broken("looped object " + std::to_string(id) +
                           " is no root of the cycle index");
            });
        }
        auto entered = nested->member_ids->read();
        if (nested->cycle && nested->cycle != cycle)
            broken("the nested index has another cycle index");
        entered->for_each([&](uint32_t nested_id) {
            if (!holders.contains(nested_id))
                broken("nested object " + std::to_string(nested_id) + " has no holder");
            if (looped.contains(nested_id))
                broken("nested object " + std::to_string(nested_id) + " is looped too");
        });
        for (const auto& [nested_id, set] : holders)
            if (!entered->contains(nested_id) && !looped.contains(nested_id))
                broken("nested object " + std::to_string(nested_id) +
                       " has holders but is neither entered nor looped");
    }
}

void QueryMap::validate(const MapContext& c) const {
    if (c.members == nullptr) broken("no member ids to check against");
    Census census;
    census.value_sets(*this, c);
    census.range_pairs(*this, c);
    census.holder_sets(*this, c);
    texts.validate(exact, *c.members);
    for (const auto& [id, key] : census.in_sets) check_key(census, id, *key);
    check_elements(*this, c);
    if (c.complete) {
        for (const auto& [id, vp] : census.in_tree)
            if (!census.in_sets.contains(id))
                broken(id_text(id) + " has a range pair but is in no value set");
        for (const auto& [id, nested_id] : census.in_holders)
            if (!census.in_sets.contains(id))
                broken(id_text(id) + " is a holder but is in no value set");
    }
    if (c.recorded != nullptr) check_recorded(census, *c.recorded, c.name, c.complete);
    validate_nested(c);
    if (c.held)
        c.members->for_each([&](uint32_t id) {
            HeldValue now = c.held(id);
            if (!now.known) return;
            check_held(census, id, now.value, c.complete);
            if (now.value != nullptr && now.value->key_kind() == KeyKind::Text &&
                !texts.holds(exact, *now.value, id))
                broken(id_text(id) + " holding " + value_text(*now.value) +
                       " is not among its text's ids");
        });
}

Bitmap QueryMap::holders_of(const Bitmap& nested_ids) const {
    // Large sets are united together (CRoaring's many-way union, lazily
    // through bitsets); small ones give their ids directly.  Uniting them
    // one after another would merge arrays as they grow.
    std::vector<const roaring_bitmap_t*> large;
    std::vector<uint32_t> loose;
    nested_ids.for_each([&](uint32_t nested_id) {
        auto it = holders.find(nested_id);
        if (it == holders.end()) return;
        if (it->second.form() == HybridSet::Form::Large) {
            large.push_back(it->second.bitmap().raw());
        } else {
            it->second.for_each([&](uint32_t id) { loose.push_back(id); });
        }
    });
    Bitmap out = large.empty() ? Bitmap()
                               : Bitmap::adopt(roaring_bitmap_or_many(large.size(), large.data()));
    if (!loose.empty()) roaring_bitmap_add_many(out.raw(), loose.size(), loose.data());
    return out;
}

QueryMap& map_for(AttrMaps& maps, std::string_view name, IndexAPI* owner) {
    auto it = maps.find(absl::string_view(name.data(), name.size()));
    if (it == maps.end()) {
        if (owner != nullptr && !owner->closed && !owner->cycle)
            owner->cycle = make_cycle_index(owner->depth + 1);
        it = maps.emplace(std::string(name), std::make_unique<QueryMap>(owner)).first;
    }
    return *it->second;
}

}  // namespace corvane
