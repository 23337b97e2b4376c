#include "engine/query_map.hpp"

#include <absl/strings/string_view.h>

#include <algorithm>
#include <string>

#include "engine/operations.hpp"
#include "structures/failure.hpp"

namespace corvane {

QueryMap::QueryMap() : ranged(std::make_unique<BitMapBTree>()), nested(IndexAPI::make()) {}

bool QueryMap::has_pair(const PyValue& value, uint32_t id) const {
    auto it = exact.find(value);
    return it != exact.end() && it->second.contains(id);
}

bool QueryMap::unused() const {
    if (!exact.empty() || ranged->size() != 0 || !holders.empty()) return false;
    return nested.member_ids->read()->empty();
}

void QueryMap::insert(const PyValue& value, uint32_t id, const Entry* nested_entry,
                      std::vector<CompositeKey128>* pending) {
    auto [it, fresh] = exact.try_emplace(value);
    bool entered = true;
    if (fresh) {
        it->second = HybridSet::small_of(id);
    } else {
        entered = it->second.add_new(id);
    }
    switch (value.kind()) {
        case CastValue::Int:
        case CastValue::Float:
        case CastValue::Ordered:
            // The tree keeps each pair once, so asking it again is harmless.
            if (pending != nullptr) {
                pending->push_back(CompositeKey128::make(value.range_value(), id));
            } else {
                ranged->insert(value.range_value(), id);
            }
            break;
        case CastValue::Ind: {
            uint32_t nested_id = value.nested_id();
            auto h = holders.find(nested_id);
            if (h == holders.end()) {
                holders.emplace(nested_id, HybridSet::small_of(id));
                entered = true;
            } else if (h->second.add_new(id)) {
                entered = true;
            }
            // No entry means a reference cycle: the object is already being
            // entered higher up the chain, so it is recorded but not entered.
            // A pair new to this map enters the nested object with its
            // current attributes; otherwise it is entered only if the nested
            // index lacks it.
            if (nested_entry != nullptr &&
                (entered || !nested.member_ids->read()->contains(nested_id))) {
                add_object(nested, *nested_entry);
            }
            break;
        }
        case CastValue::Str:
        case CastValue::Unknown:
            break;
    }
}

void QueryMap::enter_pending(std::vector<CompositeKey128>& pending) {
    std::sort(pending.begin(), pending.end(),
              [](const CompositeKey128& a, const CompositeKey128& b) { return a.key < b.key; });
    for (const CompositeKey128& k : pending) ranged->insert(k.value, k.id());
    pending.clear();
}

void QueryMap::remove_id(const PyValue& value, uint32_t id) {
    auto it = exact.find(value);
    if (it != exact.end()) it->second.remove(id);
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

void QueryMap::check_prune(const PyValue& value) {
    auto it = exact.find(value);
    if (it == exact.end()) fail("no entry found for key");
    if (it->second.empty()) exact.erase(it);
}

void QueryMap::merge(const QueryMap& other) {
    for (const auto& [value, set] : other.exact) {
        auto it = exact.find(value);
        if (it == exact.end()) {
            exact.emplace(value, set.copy());
        } else {
            // Unite without recording an id twice.
            HybridSet& mine = it->second;
            set.for_each([&](uint32_t id) {
                if (!mine.contains(id)) mine.add(id);
            });
        }
    }
}

QueryMap& map_for(AttrMaps& maps, std::string_view name) {
    auto it = maps.find(absl::string_view(name.data(), name.size()));
    if (it == maps.end()) it = maps.emplace(std::string(name), std::make_unique<QueryMap>()).first;
    return *it->second;
}

}  // namespace corvane
