#include "index/index.hpp"

#include <algorithm>
#include <cstddef>
#include <unordered_map>

#include <structmember.h>

#include "index/filtered_index.hpp"
#include "index/indexable.hpp"
#include "index/query.hpp"
#include "index/query_expr.hpp"
#include "index/types.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"

namespace corvane {

IndexAPI IndexAPI::make() {
    return IndexAPI{std::make_shared<py::Locked<AttrMaps>>(), std::make_shared<py::Locked<Store>>(),
                    std::make_shared<py::Locked<Bitmap>>()};
}

const std::shared_ptr<IndexAPI>& default_index_arc() {
    // Deliberately leaked: it lives for the whole process.
    static auto* arc = new std::shared_ptr<IndexAPI>(std::make_shared<IndexAPI>(IndexAPI::make()));
    return *arc;
}

// ---------------------------------------------------------------------------
// Entries: objects read while holding the interpreter lock.

void add_nested_entries(Entry& entry, std::vector<uint32_t>& path) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const PyValue& v = attrs[i].second;
        if (v.kind() != CastValue::Ind) continue;
        uint32_t nested_id = indexable_id(v.object());
        bool on_path = std::find(path.begin(), path.end(), nested_id) != path.end();
        entry.nested.emplace_back(i, on_path ? nullptr : make_entry(v.object(), false, false, path));
    }
}

void fill_entry(Entry& entry, PyObject* obj, bool in_place, bool include_hidden,
                std::vector<uint32_t>& path) {
    const IndexableState& st = indexable_state(obj);
    entry.id = st.id;
    entry.item = StoredItem(py::borrow, obj);
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

// ---------------------------------------------------------------------------
// Engine operations.

namespace {
void enter_attributes(AttrMaps& maps, const Entry& entry, bool include_hidden) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const auto& [name, value] = attrs[i];
        if (!include_hidden && hidden_name(name)) continue;
        add_index_value(maps, entry.id, name, value,
                        value.kind() == CastValue::Ind ? entry.nested_for(i) : nullptr);
    }
}
}  // namespace

void add_index_value(AttrMaps& maps, uint32_t id, const std::string& name, const PyValue& value,
                     const Entry* nested) {
    auto it = maps.find(name);
    if (it == maps.end()) it = maps.emplace(name, std::make_unique<QueryMap>()).first;
    it->second->insert(value, id, nested);
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
                auto it = maps->find(name);
                if (it == maps->end()) it = maps->emplace(name, std::make_unique<QueryMap>()).first;
                t.name = name;
                t.map = it->second.get();
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
            if (qm.exact.empty()) maps.erase(it);
        }
    }
    add_index_value(maps, id, name, new_value, nested);
}

void union_with(IndexAPI& target, const IndexAPI& source) {
    auto dst = target.attr_maps->write();
    auto src = source.attr_maps->read();
    for (const auto& [name, map] : *src) {
        auto it = dst->find(name);
        if (it == dst->end()) it = dst->emplace(name, std::make_unique<QueryMap>()).first;
        it->second->merge(*map);
    }
}

PyObject* objects_for_ids(const Store& store, const Bitmap& ids) {
    Py_ssize_t total = static_cast<Py_ssize_t>(ids.cardinality());
    py::PyRef list(py::new_ref, PyList_New(total));
#ifdef PYPY_VERSION
    // PyPy's lists have no C array to fill directly.
    std::vector<PyObject*> buffer(static_cast<size_t>(total));
    PyObject** items = buffer.data();
#else
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
#endif
    // Two passes: first gather the object pointers (reading the store in id
    // order) and ask for their headers, then take the references.  The
    // objects are scattered in memory, so overlapping those cache misses is
    // what makes this fast.
    Py_ssize_t filled = 0;
    bool missing = false;
    ids.for_each_chunk([&](const uint32_t* chunk, uint32_t n) {
        if (missing) return;
        for (uint32_t k = 0; k < n; ++k) store.prefetch(chunk[k]);
        for (uint32_t k = 0; k < n; ++k) {
            PyObject* obj = store.get(chunk[k]);
            if (obj == nullptr) {
                missing = true;
                return;
            }
            __builtin_prefetch(obj, 1, 3);
            items[filled++] = obj;
        }
    });
    for (Py_ssize_t i = 0; i < filled; ++i) Py_INCREF(items[i]);
    if (missing) {
        // Fill the remaining slots so the list can be released safely.
        for (Py_ssize_t i = filled; i < total; ++i) {
            Py_INCREF(Py_None);
            items[i] = Py_None;
        }
    }
#ifdef PYPY_VERSION
    for (Py_ssize_t i = 0; i < total; ++i) PyList_SET_ITEM(list.get(), i, items[i]);
#endif
    if (missing) fail(kUnwrapNone);
    return list.release();
}

// ---------------------------------------------------------------------------
// Cyclic garbage collection of indexes and views.
//
// An object that refers to an index or a view holding it (`o.index = idx;
// idx.add_object(o)`, `o.view = idx.reduced(...)`) forms a cycle through the
// store.  Every strong reference must be reported by exactly one holder, and
// by the same holder in every pass of one collection: reporting a reference
// twice, or in one pass and not the next, would let the collector free
// objects that are still reachable.  Hence:
// * the objects of a store are reported by its owner object alone, which
//   every index and view of that store refers to;
// * every handle in a store is a reference of its own, never shared with
//   another store;
// * a store changes only while the interpreter lock is held, which the
//   collector holds for the whole of a collection;
// * attribute values that the maps keep as keys are reported by the objects
//   whose attributes they are, never by the index.  Stores of nested
//   objects inside the maps are not reported: engine threads change them
//   without the interpreter lock.

namespace {

StoreOwnerObject* as_owner(PyObject* self) { return reinterpret_cast<StoreOwnerObject*>(self); }

int store_owner_traverse(PyObject* self, visitproc visit, void* arg) {
    if (const SharedStore& items = as_owner(self)->items) {
        int failed = 0;
        items->unsafe_get().for_each([&](PyObject* obj) {
            if (failed == 0) failed = visit(obj, arg);
        });
        if (failed != 0) return failed;
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Dropping the owner's handle frees nothing while an index or view still
// holds the store; clearing those drops the rest.
int store_owner_clear(PyObject* self) {
    SharedStore doomed = std::move(as_owner(self)->items);
    return 0;
}

void store_owner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_owner(self)->items.~SharedStore();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

PyObject* new_store_owner(SharedStore items) {
    PyTypeObject* type = store_owner_type();
    if (type == nullptr) throw py::PyErrorSet{};
    py::PyRef self(py::new_ref, type->tp_alloc(type, 0));
    new (&as_owner(self.get())->items) SharedStore(std::move(items));
    return self.release();
}

PyTypeObject* create_store_owner_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(store_owner_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(store_owner_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(store_owner_clear)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane._StoreOwner", static_cast<int>(sizeof(StoreOwnerObject)),
                               0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return type_from_spec(&spec);
}

// ---------------------------------------------------------------------------
// The Python class.

namespace {

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

PyObject* index_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        py::Signature sig{"Index.__new__", nullptr, 0};
        py::match_tuple(sig, args, kwargs, nullptr);
        return new_index_object(std::make_shared<IndexAPI>(IndexAPI::make()));
    });
}

int index_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_index(self)->store_owner);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Break a cycle: the index lets go of its store's owner and of its record,
// and is left with a new, empty record.  An index in use by a call is left
// alone.
int index_clear(PyObject* self) {
    IndexObject* idx = as_index(self);
    if (idx->use.state != 0) return 0;
    try {
        std::shared_ptr<IndexAPI> doomed = std::make_shared<IndexAPI>(IndexAPI::make());
        doomed.swap(idx->api);
        Py_CLEAR(idx->store_owner);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_index(self)->weaklist != nullptr) PyObject_ClearWeakRefs(self);
    {
        // Dropping the record may release stored objects.
        std::shared_ptr<IndexAPI> doomed = std::move(as_index(self)->api);
    }
    as_index(self)->api.~shared_ptr<IndexAPI>();
    Py_CLEAR(as_index(self)->store_owner);
    type->tp_free(self);
    Py_DECREF(type);
}

// Convert an argument to an `Indexable` instance or raise the TypeError for it.
PyObject* indexable_arg(PyObject* obj, const char* arg) {
    if (!is_indexable(obj)) {
        py::argument_conversion_error(obj, "Indexable", arg);
    }
    return obj;
}

PyObject* index_collect(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_arguments("Index.collect", nargs, kwnames);
        IndexObject* idx = as_index(self);
        py::SharedUse use(idx->use);
        auto store = idx->api->items->read();
        Py_ssize_t count = 0;
        store->for_each([&](PyObject*) { ++count; });
        py::PyRef list(py::new_ref, PyList_New(count));
        Py_ssize_t i = 0;
        store->for_each([&](PyObject* obj) {
            Py_INCREF(obj);
            PyList_SET_ITEM(list.get(), i++, obj);
        });
        return list.release();
    });
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument("Index.add_object", "py_ref", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        py::ExclusiveUse use(idx->use);
        PyObject* obj = indexable_arg(arg, "py_ref");
        IndexableState& st = indexable_state(obj);
        // The object stays in exclusive use for the whole call, so its
        // attributes can be read in place and no assignment slips between
        // entering and registering it.
        py::ExclusiveUse obj_use(st.use);
        std::vector<uint32_t> path;
        std::unique_ptr<Entry> entry = make_entry(obj, true, false, path);
        // The store changes only while the interpreter lock is held, so that
        // the collector always sees it whole (see `index_traverse`).
        idx->api->items->write()->put(entry->id, entry->item);
        {
            py::GilRelease release;
            add_object(*idx->api, *entry, false);
        }
        st.add_index(idx->api);
        Py_RETURN_NONE;
    });
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument("Index.add_object_many", "objs", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        py::ExclusiveUse use(idx->use);

        std::vector<py::PyRef> objects;
        std::vector<py::ExclusiveUse> uses;
        try {
            if (PyUnicode_Check(arg)) py::type_error("Can't extract `str` to `Vec`");
            if (!PySequence_Check(arg)) py::conversion_error(arg, "Sequence");
            Py_ssize_t hint = PySequence_Size(arg);
            if (hint < 0) {
                PyErr_Clear();
                hint = 0;
            }
            objects.reserve(static_cast<size_t>(hint));
            uses.reserve(static_cast<size_t>(hint));
            py::PyRef iter(py::new_ref, PyObject_GetIter(arg));
            while (PyObject* item = PyIter_Next(iter.get())) {
                py::PyRef owned(py::steal, item);
                if (!is_indexable(item)) py::conversion_error(item, "Indexable");
                uses.emplace_back(indexable_state(item).use);
                objects.push_back(std::move(owned));
            }
            if (PyErr_Occurred()) throw py::PyErrorSet{};
        } catch (const py::PyErrorSet&) {
            uses.clear();
            py::rethrow_for_argument("objs");
        }

        std::vector<Entry> entries(objects.size());
        std::vector<uint32_t> path;
        for (size_t i = 0; i < objects.size(); ++i)
            fill_entry(entries[i], objects[i].get(), true, false, path);
        {
            py::GilRelease release;
            add_object_many(*idx->api, entries);
        }
        std::weak_ptr<IndexAPI> weak = idx->api;
        auto store = idx->api->items->write();
        for (size_t i = 0; i < objects.size(); ++i) {
            indexable_state(objects[i].get()).add_index(weak);
            uses[i].end();
            store->put(entries[i].id, std::move(entries[i].item));
        }
        store.unlock();
        Py_RETURN_NONE;
    });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_positional("Index.get_by_attribute", nargs);
        IndexObject* idx = as_index(self);
        py::SharedUse use(idx->use);
        HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        Bitmap ids;
        {
            auto maps = idx->api->attr_maps->read();
            ids = filter_index_by_hashes(*maps, query);
        }
        auto store = idx->api->items->read();
        return objects_for_ids(*store, ids);
    });
}

PyObject* index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_positional("Index.reduce", nargs);
        IndexObject* idx = as_index(self);
        py::ExclusiveUse use(idx->use);
        HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        auto maps = idx->api->attr_maps->write();
        Bitmap selected = filter_index_by_hashes(*maps, query);
        auto store = idx->api->items->read();
        // Check every selected id before changing anything, so that a
        // failure leaves the index as it was.  An object whose assignment is
        // in progress cannot be read: some of its indexes may already hold
        // the new value while its own list still holds the old one.
        const char* problem = nullptr;
        selected.for_each([&](uint32_t id) {
            if (problem != nullptr) return;
            PyObject* obj = store->get(id);
            if (obj == nullptr) {
                problem = kUnwrapNone;
            } else if (indexable_state(obj).use.exclusive()) {
                problem = py::kAlreadyMutablyBorrowed;
            }
        });
        if (problem != nullptr) {
            store.unlock();
            maps.unlock();
            fail(problem);
        }
        for (auto& [name, map] : *maps)
            for (auto& [value, set] : map->exact) set.retain(selected);
        // Re-enter the selected objects' current attributes; pairs that are
        // still recorded are left alone.
        selected.for_each([&](uint32_t id) {
            PyObject* obj = store->get(id);
            const AttrList& attrs = indexable_state(obj).attributes;
            for (const auto& [name, value] : attrs) {
                if (hidden_name(name)) continue;
                auto it = maps->find(name);
                if (it != maps->end() && it->second->has_pair(value, id)) continue;
                std::unique_ptr<Entry> nested;
                if (value.kind() == CastValue::Ind) {
                    std::vector<uint32_t> path{id};
                    nested = make_entry(value.object(), false, false, path);
                }
                add_index_value(*maps, id, name, value, nested.get());
            }
        });
        Py_RETURN_NONE;
    });
}

PyObject* index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_positional("Index.reduced", nargs);
        IndexObject* idx = as_index(self);
        py::SharedUse use(idx->use);
        HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        Bitmap ids;
        {
            py::GilRelease release;
            auto maps = idx->api->attr_maps->read();
            ids = filter_index_by_hashes(*maps, query);
        }
        return new_filtered_index(idx->api->attr_maps, idx->api->items, std::move(ids),
                                  idx->store_owner);
    });
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument("Index.reduced_query", "query", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        py::SharedUse use(idx->use);
        QueryExpr expr = query_expr_arg(arg, "query");
        Bitmap ids;
        {
            py::GilRelease release;
            ids = reduced_query(*idx->api, expr);
            // The tree's values are dropped here without the interpreter
            // lock; their references go through the deferred queue.
            QueryExpr doomed = std::move(expr);
        }
        return new_filtered_index(idx->api->attr_maps, idx->api->items, std::move(ids),
                                  idx->store_owner);
    });
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument("Index.union_with", "other", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        py::ExclusiveUse use(idx->use);
        if (!PyObject_TypeCheck(arg, index_type())) {
            py::argument_conversion_error(arg, "Index", "other");
        }
        IndexObject* other = as_index(arg);
        py::SharedUse other_use(other->use);
        {
            py::GilRelease release;
            union_with(*idx->api, *other->api);
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef index_methods[] = {
    CORVANE_FINAL_CLASS_METHODS
    {"collect", CORVANE_FASTCALL(index_collect), METH_FASTCALL | METH_KEYWORDS,
     "collect($self)\n--\n\n"},
    {"reduced", CORVANE_FASTCALL(index_reduced), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduce", CORVANE_FASTCALL(index_reduce), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, **kwargs)\n--\n\n"},
    {"get_by_attribute", CORVANE_FASTCALL(index_get_by_attribute), METH_FASTCALL | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"add_object_many", CORVANE_FASTCALL(index_add_object_many), METH_FASTCALL | METH_KEYWORDS,
     "add_object_many($self, objs)\n--\n\n"},
    {"add_object", CORVANE_FASTCALL(index_add_object), METH_FASTCALL | METH_KEYWORDS,
     "add_object($self, py_ref)\n--\n\n"},
    {"reduced_query", CORVANE_FASTCALL(index_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"union_with", CORVANE_FASTCALL(index_union_with), METH_FASTCALL | METH_KEYWORDS,
     "union_with($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef index_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IndexObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyObject* new_index_object(std::shared_ptr<IndexAPI> api) {
    PyTypeObject* type = index_type();
    if (type == nullptr) throw py::PyErrorSet{};
    py::PyRef self(py::new_ref, type->tp_alloc(type, 0));
    IndexObject* idx = as_index(self.get());
    new (&idx->use) py::UseCounter();
    new (&idx->api) std::shared_ptr<IndexAPI>(std::move(api));
    idx->store_owner = nullptr;
    idx->weaklist = nullptr;
    idx->store_owner = new_store_owner(idx->api->items);
    return self.release();
}

PyTypeObject* create_index_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(index_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
        {Py_tp_methods, index_methods},
        {Py_tp_members, index_members},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane.Index", static_cast<int>(sizeof(IndexObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return type_from_spec(&spec);
}

}  // namespace corvane
