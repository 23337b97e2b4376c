#include "engine/operations.hpp"

#include <unordered_map>

#include "engine/query_map.hpp"

namespace corvane {

void enter_attributes(AttrMaps& maps, const Entry& entry, bool include_hidden,
                      EnteredList* entered, uint32_t depth) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const auto& [name, value] = attrs[i];
        if (!include_hidden && hidden_name(name)) continue;
        add_index_value(maps, entry.id, name, value,
                        value.kind() == CastValue::Ind ? entry.nested_for(i) : nullptr, entered,
                        depth);
    }
}

void add_index_value(AttrMaps& maps, uint32_t id, const std::string& name, const PyValue& value,
                     const Entry* nested, EnteredList* entered, uint32_t depth) {
    map_for(maps, name, depth).insert(value, id, nested, entered);
}

void add_object(IndexAPI& index, const Entry& entry, bool put_item, EnteredList* entered) {
    {
        auto ids = index.member_ids->write();
        ids->add(entry.id);
    }
    if (put_item) {
        auto store = index.items->write();
        store->put(entry.id, entry.item);
    }
    auto maps = index.attr_maps->write();
    enter_attributes(*maps, entry, false, entered, index.depth);
}

void add_object_many(IndexAPI& index, const std::vector<Entry>& entries, EnteredList* entered) {
    auto maps = index.attr_maps->write();
    auto ids = index.member_ids->write();
    // Objects of one batch usually carry the same names in the same order:
    // remember the map found at each position to skip most name lookups.
    struct Target {
        std::string name;
        QueryMap* map = nullptr;  // owned by `maps`, stable while it lives
        std::vector<CompositeKey128>* pending = nullptr;
    };
    std::vector<Target> recent;
    // Node-based: the queues must not move while `recent` points at them.
    std::unordered_map<QueryMap*, std::vector<CompositeKey128>> pending;
    for (const Entry& entry : entries) {
        ids->add(entry.id);
        const AttrList& attrs = *entry.attrs;
        if (recent.size() < attrs.size()) recent.resize(attrs.size());
        for (size_t i = 0; i < attrs.size(); ++i) {
            const auto& [name, value] = attrs[i];
            if (hidden_name(name)) continue;
            Target& t = recent[i];
            if (t.map == nullptr || t.name != name) {
                t.name = name;
                t.map = &map_for(*maps, name, index.depth);
                auto queue = pending.try_emplace(t.map).first;
                t.pending = &queue->second;
            }
            t.map->insert(value, entry.id,
                          value.kind() == CastValue::Ind ? entry.nested_for(i) : nullptr, entered,
                          t.pending);
        }
    }
    for (auto& [map, queued] : pending) {
        map->enter_pending(queued);
    }
}

void update_index(AttrMaps& maps, const std::string& name, const PyValue* old_value,
                  const PyValue& new_value, uint32_t id, const Entry* nested,
                  EnteredList* entered, uint32_t depth) {
    if (hidden_name(name)) return;
    if (old_value != nullptr) {
        auto it = maps.find(name);
        if (it != maps.end()) {
            QueryMap& qm = *it->second;
            // Withdraw the old pair everywhere it may be recorded, even when
            // its value entry is gone (narrowed by reduce, then pruned): the
            // range tree and the holders do not follow the value entries.
            qm.remove_id(*old_value, id);
            if (qm.exact.contains(*old_value)) qm.check_prune(*old_value);
            // An object assigned again keeps its place in the nested index.
            if (old_value->kind() == CastValue::Ind &&
                !(new_value.kind() == CastValue::Ind && new_value.nested_id() == old_value->nested_id()))
                release_nested(qm, old_value->nested_id());
            // Empty value sets alone do not make the map unused: after
            // `reduce`, other members may still be recorded in its range
            // tree, its holders or its nested index.
            if (qm.unused()) maps.erase(it);
        }
    }
    add_index_value(maps, id, name, new_value, nested, entered, depth);
}

void release_nested(QueryMap& map, uint32_t nested_id) {
    if (map.holders.contains(nested_id)) return;
    IndexAPI& nested = *map.nested;
    StoredItem dropped;
    {
        auto maps = nested.attr_maps->write();
        {
            auto ids = nested.member_ids->write();
            if (!ids->contains(nested_id)) return;
            ids->remove(nested_id);
        }
        // The object's values are not known here (reading them needs the
        // interpreter): look for its id under every value.
        std::vector<PyValue> held;
        for (auto it = maps->begin(); it != maps->end();) {
            QueryMap& qm = *it->second;
            held.clear();
            for (const auto& [value, set] : qm.exact)
                if (set.contains(nested_id)) held.push_back(value);
            for (const PyValue& value : held) {
                qm.remove_id(value, nested_id);
                qm.check_prune(value);
                if (value.kind() == CastValue::Ind) release_nested(qm, value.nested_id());
            }
            if (qm.unused()) {
                maps->erase(it++);
            } else {
                ++it;
            }
        }
        dropped = nested.items->write()->take(nested_id);
    }
}

void union_with(IndexAPI& target, const IndexAPI& source, EnteredList* entered) {
    auto dst = target.attr_maps->write();
    auto src = source.attr_maps->read();
    for (const auto& [name, map] : *src) {
        map_for(*dst, name, target.depth).merge(*map, entered);
    }
    auto dst_ids = target.member_ids->write();
    auto src_ids = source.member_ids->read();
    dst_ids->or_inplace(*src_ids);
}

void merge_nested(const std::shared_ptr<IndexAPI>& target, const IndexAPI& source,
                  EnteredList* entered) {
    Bitmap fresh;
    {
        auto src_ids = source.member_ids->read();
        fresh = src_ids->copy();
    }
    {
        auto dst_ids = target->member_ids->read();
        fresh = fresh.andnot(*dst_ids);
    }
    union_with(*target, source, entered);
    auto dst_items = target->items->write();
    auto src_items = source.items->read();
    fresh.for_each([&](uint32_t id) {
        StoredItem item = src_items->item(id);
        if (item.get() == nullptr) return;
        dst_items->put(id, item);
        if (entered != nullptr) entered->push_back(NestedEntered{target, std::move(item), nullptr});
    });
}

void narrow(AttrMaps& maps, const Bitmap& selected) {
    for (auto& [name, map] : maps)
        for (auto& [value, set] : map->exact) set.retain(selected);
}

}  // namespace corvane
