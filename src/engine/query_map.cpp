#include "engine/query_map.hpp"

#include <absl/strings/string_view.h>

#include <algorithm>
#include <string>

#include "engine/operations.hpp"

namespace corvane {

QueryMap::QueryMap(uint32_t depth)
    : ranged(std::make_unique<BitMapBTree>()), nested(std::make_shared<IndexAPI>(IndexAPI::make())) {
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
        case CastValue::Unknown:
            break;
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

QueryMap& map_for(AttrMaps& maps, std::string_view name, uint32_t depth) {
    auto it = maps.find(absl::string_view(name.data(), name.size()));
    if (it == maps.end()) it = maps.emplace(std::string(name), std::make_unique<QueryMap>(depth)).first;
    return *it->second;
}

}  // namespace corvane
