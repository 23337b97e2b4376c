#include "python/entries.hpp"

#include <algorithm>

#include "python/indexable.hpp"
#include "python/ref.hpp"

namespace corvane {

void add_nested_entries(Entry& entry, std::vector<uint32_t>& path) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const PyValue& v = attrs[i].second;
        if (v.kind() != CastValue::Ind) continue;
        uint32_t nested_id = v.nested_id();
        bool on_path = std::find(path.begin(), path.end(), nested_id) != path.end();
        entry.nested.emplace_back(i, on_path ? nullptr : make_entry(v.object(), false, false, path));
    }
}

void fill_entry(Entry& entry, PyObject* obj, bool in_place, bool include_hidden,
                std::vector<uint32_t>& path) {
    const IndexableState& st = indexable_state(obj);
    entry.id = st.id;
    entry.item = py::share(obj);
    if (in_place) {
        entry.attrs = &st.attributes;
    } else {
        entry.owned.reserve(st.attributes.size());
        for (const Attr& a : st.attributes)
            if (include_hidden || !hidden_name(a.first)) entry.owned.push_back(a);
        entry.attrs = &entry.owned;
    }
    path.push_back(st.id);
    add_nested_entries(entry, path);
    path.pop_back();
}

std::unique_ptr<Entry> make_entry(PyObject* obj, bool in_place, bool include_hidden,
                                  std::vector<uint32_t>& path) {
    auto entry = std::make_unique<Entry>();
    fill_entry(*entry, obj, in_place, include_hidden, path);
    return entry;
}

}  // namespace corvane
