#include "python/entries.hpp"

#include <algorithm>

#include "python/errors.hpp"
#include "python/indexable.hpp"
#include "python/ref.hpp"

namespace corvane {

namespace {

// One level of nesting being read.  Reading an entry recurses once per
// level here; entering it recurses once per level in the engine (into the
// nested index of each level, without the interpreter lock, maybe in a
// thread with a small stack), and so does dropping those nested indexes.
// The depth is therefore bounded twice: by the interpreter's own recursion
// limit, and by a fixed maximum that keeps the engine's recursion far below
// any thread's stack whatever that limit is raised to.
class NestingLevel {
public:
    explicit NestingLevel(size_t depth) {
        if (depth >= kMaxNestingDepth) {
            PyErr_Format(PyExc_RecursionError,
                         "maximum nesting depth (%zu) exceeded while indexing nested objects",
                         kMaxNestingDepth);
            throw py::PyErrorSet{};
        }
        if (Py_EnterRecursiveCall(" while indexing nested objects")) throw py::PyErrorSet{};
    }
    ~NestingLevel() { Py_LeaveRecursiveCall(); }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;
};

}  // namespace

void add_nested_entries(Entry& entry, std::vector<uint32_t>& path, size_t base) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const PyValue& v = attrs[i].second;
        if (v.kind() != CastValue::Ind) continue;
        uint32_t nested_id = v.nested_id();
        bool on_path = std::find(path.begin(), path.end(), nested_id) != path.end();
        if (on_path) {
            entry.nested.emplace_back(i, nullptr);
            continue;
        }
        NestingLevel level(path.size() + base);
        entry.nested.emplace_back(i, make_entry(v.object(), false, false, path, base));
    }
}

void fill_entry(Entry& entry, PyObject* obj, bool in_place, bool include_hidden,
                std::vector<uint32_t>& path, size_t base) {
    const IndexableState& st = indexable_state(obj);
    entry.id = st.id;
    entry.item = py::share(obj);
    if (in_place) {
        entry.attrs = &st.attributes;
    } else {
        entry.owned.reserve(st.attributes.size());
        for (const auto& a : st.attributes)
            if (include_hidden || !hidden_name(a.first.view())) entry.owned.push_back(a);
        entry.attrs = &entry.owned;
    }
    path.push_back(st.id);
    add_nested_entries(entry, path, base);
    path.pop_back();
}

std::unique_ptr<Entry> make_entry(PyObject* obj, bool in_place, bool include_hidden,
                                  std::vector<uint32_t>& path, size_t base) {
    auto entry = std::make_unique<Entry>();
    fill_entry(*entry, obj, in_place, include_hidden, path, base);
    return entry;
}

}  // namespace corvane
