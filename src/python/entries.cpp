#include "python/entries.hpp"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <array>

#include "python/errors.hpp"
#include "python/indexable.hpp"
#include "python/ref.hpp"
#include "python/values.hpp"

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

// The objects being read: `ids` is the chain from the outermost, the
// caller's path to which each level adds its object (its length is the
// depth); `read` has the entry of every object read so far into this tree
// of entries.  An object of the caller's path has none until it is met.
struct Chain {
    explicit Chain(std::vector<uint32_t>& path, BatchReader::Read* batch = nullptr)
        : ids(path), batch(batch) {}

    std::vector<uint32_t>& ids;
    // The nested objects read so far into the other trees of a batch, or
    // null: one met again is a loop to that reading.
    BatchReader::Read* batch;

    // The entry read for `id` already, in this tree or, nested, in another
    // tree of the batch; or null.
    const Entry* met(uint32_t id) const {
        if (const Entry* here = entry_of(id)) return here;
        if (batch == nullptr) return nullptr;
        auto it = batch->find(id);
        return it == batch->end() ? nullptr : it->second;
    }

    // The entry read for `id` already, or null.
    const Entry* entry_of(uint32_t id) const {
        if (!many_.empty()) {
            auto it = many_.find(id);
            return it == many_.end() ? nullptr : it->second;
        }
        for (size_t i = 0; i < count_; ++i)
            if (few_[i].first == id) return few_[i].second;
        return nullptr;
    }
    void read(uint32_t id, const Entry* entry) {
        if (many_.empty() && count_ < kFew) {
            few_[count_++] = {id, entry};
            return;
        }
        if (many_.empty()) many_.insert(few_.begin(), few_.end());
        many_.emplace(id, entry);
    }

private:
    // Most trees of entries are a few objects: they are searched in place,
    // without allocating, and only larger ones are hashed.
    static constexpr size_t kFew = 16;
    std::array<std::pair<uint32_t, const Entry*>, kFew> few_;
    size_t count_ = 0;
    absl::flat_hash_map<uint32_t, const Entry*> many_;
};

void fill_in_chain(Entry& entry, PyObject* obj, bool whole, bool include_hidden, Chain& chain,
                   size_t base, bool defer = false);

// The `Indexable` value at position `i` of an entry: the object and its id.
void add_nested_value(Entry& entry, size_t i, PyObject* obj, Chain& chain, size_t base) {
    const uint32_t id = indexable_id(obj);
    if (const Entry* above = chain.met(id)) {
        // The entries of a tree are the reader's, still being read.
        const_cast<Entry*>(above)->looped_to = true;
        entry.nested.emplace_back(i, NestedEntry::loop(above));
        return;
    }
    auto nested = std::make_unique<Entry>();
    {
        NestingLevel level(chain.ids.size() + base);
        fill_in_chain(*nested, obj, false, false, chain, base);
    }
    if (chain.batch != nullptr) chain.batch->emplace(id, nested.get());
    entry.nested.emplace_back(i, std::move(nested));
}

// Each object is read once: met again (further down the chain, a cycle, or
// on another branch), it is a loop to its entry (see `NestedEntry`).
// The objects of the caller's path are read in full when first met.
void add_nested_in_chain(Entry& entry, Chain& chain, size_t base) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const PyValue& v = attrs[i].second;
        if (v.kind() == CastValue::Ind) add_nested_value(entry, i, v.object(), chain, base);
    }
}

// The same for an entry whose list is read later, with every attribute at
// the position it has in the object.
void add_nested_of_object(Entry& entry, const StoredAttrs& attrs, Chain& chain, size_t base) {
    for (size_t i = 0; i < attrs.size(); ++i) {
        const StoredForm form = attrs.form(i);
        const PyValue* rec = attrs.record(i);
        if (form == StoredForm::Identity || (rec != nullptr && rec->kind() == CastValue::Ind))
            add_nested_value(entry, i, attrs.object(i), chain, base);
    }
}

void fill_in_chain(Entry& entry, PyObject* obj, bool whole, bool include_hidden, Chain& chain,
                   size_t base, bool defer) {
    const IndexableState& st = indexable_state(obj);
    entry.id = st.id;
    entry.item = py::share(obj);
    if (!defer) read_attributes(st.attributes, whole || include_hidden, entry.own());
    chain.ids.push_back(st.id);
    chain.read(st.id, &entry);
    try {
        if (defer) {
            add_nested_of_object(entry, st.attributes, chain, base);
        } else {
            add_nested_in_chain(entry, chain, base);
        }
    } catch (...) {
        chain.ids.pop_back();
        throw;
    }
    chain.ids.pop_back();
}

}  // namespace

void add_nested_entries(Entry& entry, std::vector<uint32_t>& path, size_t base) {
    Chain chain(path);
    chain.read(entry.id, &entry);
    add_nested_in_chain(entry, chain, base);
}

void fill_entry(Entry& entry, PyObject* obj, bool in_place, bool include_hidden,
                std::vector<uint32_t>& path, size_t base) {
    Chain chain(path);
    fill_in_chain(entry, obj, in_place, include_hidden, chain, base);
}

void BatchReader::fill(Entry& entry, PyObject* obj, bool whole, bool include_hidden, bool defer) {
    path_.clear();
    Chain chain(path_, &nested_);
    fill_in_chain(entry, obj, whole, include_hidden, chain, 0, defer);
}

void read_deferred(Entry& entry, PyObject* obj, AttrList& list) {
    list.clear();
    const StoredAttrs& attrs = indexable_state(obj).attributes;
    if (entry.looped_to) {
        read_attributes(attrs, true, list);
    } else {
        read_attributes_borrowed(attrs, list);
    }
    entry.attrs = &list;
}

std::unique_ptr<Entry> BatchReader::make(PyObject* obj, bool in_place, bool include_hidden) {
    auto entry = std::make_unique<Entry>();
    fill(*entry, obj, in_place, include_hidden);
    return entry;
}

std::unique_ptr<Entry> make_entry(PyObject* obj, bool in_place, bool include_hidden,
                                  std::vector<uint32_t>& path, size_t base) {
    auto entry = std::make_unique<Entry>();
    fill_entry(*entry, obj, in_place, include_hidden, path, base);
    return entry;
}

}  // namespace corvane
