#include "engine/operations.hpp"

#include <unordered_map>

#include "engine/query_map.hpp"

namespace corvane {

void enter_attributes(AttrMaps& maps, const Entry& entry, bool include_hidden) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const auto& [name, value] = attrs[i];
        if (!include_hidden && hidden_name(name)) continue;
        add_index_value(maps, entry.id, name, value,
                        value.kind() == CastValue::Ind ? entry.nested_for(i) : nullptr);
    }
}

void add_index_value(AttrMaps& maps, uint32_t id, const std::string& name, const PyValue& value,
                     const Entry* nested) {
    map_for(maps, name).insert(value, id, nested);
}

void add_object(IndexAPI& index, const Entry& entry, bool put_item) {
    {
        auto ids = index.member_ids->write();
        ids->add(entry.id);
    }
    if (put_item) {
        auto store = index.items->write();
        store->put(entry.id, entry.item);
    }
    auto maps = index.attr_maps->write();
    enter_attributes(*maps, entry, false);
}

void add_object_many(IndexAPI& index, const std::vector<Entry>& entries) {
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
                t.map = &map_for(*maps, name);
                auto queue = pending.try_emplace(t.map).first;
                t.pending = &queue->second;
            }
            t.map->insert(value, entry.id,
                          value.kind() == CastValue::Ind ? entry.nested_for(i) : nullptr, t.pending);
        }
    }
    for (auto& [map, queued] : pending) {
        map->enter_pending(queued);
    }
}

void update_index(AttrMaps& maps, const std::string& name, const PyValue* old_value,
                  const PyValue& new_value, uint32_t id, const Entry* nested) {
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
            // Empty value sets alone do not make the map unused: after
            // `reduce`, other members may still be recorded in its range
            // tree, its holders or its nested index.
            if (qm.unused()) maps.erase(it);
        }
    }
    add_index_value(maps, id, name, new_value, nested);
}

void union_with(IndexAPI& target, const IndexAPI& source) {
    auto dst = target.attr_maps->write();
    auto src = source.attr_maps->read();
    for (const auto& [name, map] : *src) {
        map_for(*dst, name).merge(*map);
    }
    auto dst_ids = target.member_ids->write();
    auto src_ids = source.member_ids->read();
    dst_ids->or_inplace(*src_ids);
}

void narrow(AttrMaps& maps, const Bitmap& selected) {
    for (auto& [name, map] : maps)
        for (auto& [value, set] : map->exact) set.retain(selected);
}

}  // namespace corvane
