#include "engine/reduce.hpp"

#include <string>
#include <utility>

#include "engine/operations.hpp"
#include "engine/query_map.hpp"
#include "structures/failure.hpp"

namespace corvane {

namespace {

// A pair of a selected object to enter again after narrowing.
struct Pending {
    uint32_t id;
    const std::string* name;
    const PyValue* value;
    const Entry* nested;
};

// What reading the selected objects found.
struct Reading {
    bool refused = false;
    std::vector<Pending> pending;
    std::vector<std::unique_ptr<Entry>> nested;
};

// Check every selected object, then read the pairs of its current
// attributes that `maps` no longer records.  An object that cannot be read
// refuses the whole reduce; a selected id without an object is a broken
// invariant.  Changes nothing.
Reading read_selected(const AttrMaps& maps, const Store& store, const Bitmap& selected,
                      ObjectReader& reader) {
    Reading r;
    std::vector<std::pair<uint32_t, const AttrList*>> objects;
    bool missing = false;
    selected.for_each([&](uint32_t id) {
        if (missing || r.refused) return;
        PyObject* obj = store.get(id);
        const AttrList* attrs = obj == nullptr ? nullptr : reader.attributes(obj);
        missing = obj == nullptr;
        r.refused = obj != nullptr && attrs == nullptr;
        objects.emplace_back(id, attrs);
    });
    if (missing) fail(kUnwrapNone);
    if (r.refused) return r;
    for (const auto& [id, attrs] : objects) {
        for (const auto& [name, value] : *attrs) {
            if (hidden_name(name.view())) continue;
            auto it = maps.find(name.str());
            if (it != maps.end() && it->second->has_pair(value, id)) continue;
            const Entry* nested = nullptr;
            if (value.kind() == CastValue::Ind) {
                r.nested.push_back(reader.nested_entry(id, value));
                nested = r.nested.back().get();
            }
            r.pending.push_back(Pending{id, &name.str(), &value, nested});
        }
    }
    return r;
}

}  // namespace

ReduceOutcome reduce_index(IndexAPI& index, const HashQuery& query, ObjectReader& reader) {
    auto maps = index.attr_maps->write();
    auto store = index.items->read();
    const Bitmap selected = filter_index_by_hashes(*maps, query);
    ReduceOutcome out;
    Reading r;
    try {
        r = read_selected(*maps, *store, selected, reader);
    } catch (...) {
        // Nothing has changed yet: the locks are left unbroken.
        store.unlock();
        maps.unlock();
        throw;
    }
    out.refused = r.refused;
    if (r.refused) return out;
    IndexAPI::narrowed_anywhere.raise();
    index.narrowed.raise();
    narrow(*maps, selected);
    for (const Pending& p : r.pending)
        add_index_value(*maps, p.id, *p.name, *p.value, p.nested, &out.entered, &index);
    out.nested = std::move(r.nested);
    return out;
}

}  // namespace corvane
