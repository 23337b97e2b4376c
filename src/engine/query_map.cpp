#include "engine/query_map.hpp"

#include <absl/strings/string_view.h>

#include <algorithm>
#include <string>
#include <utility>

#include "engine/operations.hpp"

namespace corvane {

QueryMap::QueryMap(uint32_t depth)
    : ranged(std::make_unique<BitMapBTree>()),
      nested(std::make_shared<IndexAPI>(IndexAPI::make())) {
    nested->depth = depth + 1;
}

bool QueryMap::has_pair(const PyValue& value, uint32_t id) const {
    auto it = exact.find(value);
    return it != exact.end() && it->second.contains(id);
}

bool QueryMap::unused() const {
    if (!exact.empty() || ranged->size() != 0 || !holders.empty()) return false;
    return nested->member_ids->read()->empty();
}

void QueryMap::insert(const PyValue& value, uint32_t id, const Entry* nested_entry,
                      EnteredList* entered) {
    auto [it, fresh] = exact.try_emplace(value);
    if (fresh) {
        it->second = HybridSet::small_of(id);
    } else {
        it->second.add_new(id);
    }
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
            // No entry means a reference cycle: the object is already being
            // entered higher up the chain, so it is recorded but not entered.
            // An object the nested index holds already is kept current by
            // its registration there, and is not entered again: whatever the
            // number of its holders, its pairs are those of its current
            // values.
            if (nested_entry != nullptr && !nested->member_ids->read()->contains(nested_id)) {
                add_object(*nested, *nested_entry, true, entered);
                if (entered != nullptr)
                    entered->push_back(NestedEntered{nested, nested_entry->item, nested_entry});
            }
            break;
        }
        case CastValue::Str:
        case CastValue::Unknown: break;
    }
}

void QueryMap::add_to_set(PyValue&& value, const uint32_t* ids, size_t n) {
    auto [it, fresh] = exact.try_emplace(std::move(value));
    if (fresh) it->second = HybridSet::empty_small();
    it->second.add_many(ids, n);
}

void QueryMap::enter_pending(std::vector<CompositeKey128>& pending) {
    ranged->insert_many(pending);
    pending.clear();
}

void QueryMap::withdraw(const PyValue& value, uint32_t id) {
    auto it = exact.find(value);
    if (it != exact.end()) {
        it->second.remove(id);
        if (it->second.empty()) exact.erase(it);
    }
    remove_pair_outside_sets(value, id);
}

void QueryMap::remove_pair_outside_sets(const PyValue& value, uint32_t id) {
    if (value.is_numeric()) {
        ranged->remove(value.range_value(), id);
    } else if (value.kind() == CastValue::Ind) {
        // The holder no longer refers to this nested object, so dotted paths
        // must stop matching through it.
        uint32_t nested_id = value.nested_id();
        auto h = holders.find(nested_id);
        if (h != holders.end()) {
            h->second.remove(id);
            if (h->second.empty()) holders.erase(h);
        }
    }
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
    // The tree keeps each pair once; the other tree's pairs come in key
    // order, which walks the same few nodes again and again.
    other.ranged->for_each_pair([&](RangeValue v, uint32_t id) { ranged->insert(v, id); });
    unite_sets(holders, other.holders);
    if (other.nested != nested) merge_nested(nested, *other.nested, entered);
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
        map.ranged->for_each([&](const TreeKey& k) {
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

// The value set holding an id against its range pair and holder.  Only a
// key that is the id's very value (an identity key) or a text (never
// ordered, never nested) tells what the id holds: a number key may hold an
// object of another type equal to it, without a range key of its own.
void check_key(const Census& census, uint32_t id, const PyValue& key) {
    const bool exact_kind = key.key_kind() == KeyKind::Identity || key.key_kind() == KeyKind::Text;
    auto t = census.in_tree.find(id);
    if (t != census.in_tree.end()) {
        if (key.is_numeric() ? t->second != value_part(key) : exact_kind)
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

}  // namespace

void QueryMap::validate(const MapContext& c) const {
    if (c.members == nullptr) broken("no member ids to check against");
    Census census;
    census.value_sets(*this, c);
    census.range_pairs(*this, c);
    census.holder_sets(*this, c);
    for (const auto& [id, key] : census.in_sets) check_key(census, id, *key);
    if (c.complete) {
        for (const auto& [id, vp] : census.in_tree)
            if (!census.in_sets.contains(id))
                broken(id_text(id) + " has a range pair but is in no value set");
        for (const auto& [id, nested_id] : census.in_holders)
            if (!census.in_sets.contains(id))
                broken(id_text(id) + " is a holder but is in no value set");
    }
    if (nested->depth != c.depth + 1)
        broken("nested index at depth " + std::to_string(nested->depth) + " in a map at depth " +
               std::to_string(c.depth));
    {
        auto entered = nested->member_ids->read();
        entered->for_each([&](uint32_t nested_id) {
            if (!holders.contains(nested_id))
                broken("nested object " + std::to_string(nested_id) + " has no holder");
        });
        if (c.acyclic)
            for (const auto& [nested_id, set] : holders)
                if (!entered->contains(nested_id))
                    broken("nested object " + std::to_string(nested_id) +
                           " has holders but is not entered");
    }
    if (c.held)
        c.members->for_each([&](uint32_t id) {
            HeldValue now = c.held(id);
            if (now.known) check_held(census, id, now.value, c.complete);
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

QueryMap& map_for(AttrMaps& maps, std::string_view name, uint32_t depth) {
    auto it = maps.find(absl::string_view(name.data(), name.size()));
    if (it == maps.end())
        it = maps.emplace(std::string(name), std::make_unique<QueryMap>(depth)).first;
    return *it->second;
}

}  // namespace corvane
