#include "python/index.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>

#include "engine/entry.hpp"
#include "engine/operations.hpp"
#include "engine/query_map.hpp"
#include "python/args.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/gil_policy.hpp"
#include "python/indexable.hpp"
#include "python/keywords.hpp"
#include "python/query_expr.hpp"
#include "python/results.hpp"
#include "python/selection.hpp"
#include "python/store_owner.hpp"
#include "python/types.hpp"

namespace corvane {

namespace {

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

PyObject* index_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        py::Signature sig{"Index.__new__", nullptr, 0};
        py::match_tuple(sig, args, kwargs, nullptr);
        return new_index_object(std::make_shared<IndexAPI>(IndexAPI::make()));
    });
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
        return all_objects(*store);
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
        // the collector always sees it whole (see store_owner.cpp).
        idx->api->items->write()->put(entry->id, entry->item);
        EnteredList entered;
        py::run_engine(py::gil_policy::index_add_object,
                       [&] { add_object(*idx->api, *entry, false, &entered); });
        st.add_index(idx->api);
        register_entered(entered);
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
        if (!PyUnicode_Check(arg)) {
            objects.reserve(py::size_hint(arg));
            uses.reserve(objects.capacity());
        }
        py::for_each_in_sequence(arg, "objs", [&](PyObject* item) {
            if (!is_indexable(item)) py::conversion_error(item, "Indexable");
            uses.emplace_back(indexable_state(item).use);
            objects.emplace_back(py::borrow, item);
        });

        std::vector<Entry> entries(objects.size());
        std::vector<uint32_t> path;
        for (size_t i = 0; i < objects.size(); ++i)
            fill_entry(entries[i], objects[i].get(), true, false, path);
        EnteredList entered;
        py::run_engine(py::gil_policy::index_add_object_many,
                       [&] { add_object_many(*idx->api, entries, &entered); });
        std::weak_ptr<IndexAPI> weak = idx->api;
        auto store = idx->api->items->write();
        for (size_t i = 0; i < objects.size(); ++i) {
            indexable_state(objects[i].get()).add_index(weak);
            uses[i].end();
            store->put(entries[i].id, std::move(entries[i].item));
        }
        store.unlock();
        register_entered(entered);
        Py_RETURN_NONE;
    });
}

// True when the index holds `obj` (an `Indexable`).
bool holds(IndexObject* idx, PyObject* obj) {
    auto store = idx->api->items->read();
    return store->get(indexable_id(obj)) == obj;
}

[[noreturn]] void not_held(PyObject* obj) {
    PyErr_SetObject(PyExc_KeyError, obj);
    throw py::PyErrorSet{};
}

// Withdraw objects the index holds, each in exclusive use of the caller:
// the engine withdraws their current attributes and ids, then, under the
// interpreter lock, each unregisters the index and the store lets go of it.
// The store's references are handed back to the caller, to be dropped once
// the objects' uses have ended.
std::vector<StoredItem> withdraw(IndexObject* idx, const std::vector<PyObject*>& objects) {
    std::vector<Leaving> leaving;
    leaving.reserve(objects.size());
    for (PyObject* obj : objects) {
        const IndexableState& st = indexable_state(obj);
        leaving.push_back(Leaving{st.id, &st.attributes});
    }
    py::run_engine(py::gil_policy::index_remove_object,
                   [&] { remove_objects(*idx->api, leaving); });
    std::weak_ptr<IndexAPI> weak = idx->api;
    std::vector<StoredItem> taken;
    taken.reserve(objects.size());
    auto store = idx->api->items->write();
    for (PyObject* obj : objects) {
        IndexableState& st = indexable_state(obj);
        st.remove_index(weak);
        taken.push_back(store->take(st.id));
    }
    store.unlock();
    return taken;
}

PyObject* remove_one(const char* name, bool must_hold, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument(name, "py_ref", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        py::ExclusiveUse use(idx->use);
        PyObject* obj = indexable_arg(arg, "py_ref");
        // The object's attributes are read in place: no assignment may run
        // until the index has let go of it.
        py::ExclusiveUse obj_use(indexable_state(obj).use);
        if (!holds(idx, obj)) {
            if (must_hold) not_held(obj);
            Py_RETURN_NONE;
        }
        // The caller's argument keeps the object alive past the store's
        // reference, which goes after the use ends.
        std::vector<StoredItem> taken = withdraw(idx, {obj});
        obj_use.end();
        Py_RETURN_NONE;
    });
}

PyObject* index_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return remove_one("Index.remove_object", true, self, args, nargs, kwnames);
}

PyObject* index_discard_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return remove_one("Index.discard_object", false, self, args, nargs, kwnames);
}

PyObject* index_remove_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg =
            py::single_argument("Index.remove_object_many", "objs", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        py::ExclusiveUse use(idx->use);
        // Every item is checked before anything changes: one that is not an
        // `Indexable`, is in use elsewhere (or twice in the batch) or is not
        // held refuses the whole batch.
        std::vector<py::PyRef> refs;
        std::vector<py::ExclusiveUse> uses;
        if (!PyUnicode_Check(arg)) {
            refs.reserve(py::size_hint(arg));
            uses.reserve(refs.capacity());
        }
        py::for_each_in_sequence(arg, "objs", [&](PyObject* item) {
            if (!is_indexable(item)) py::conversion_error(item, "Indexable");
            uses.emplace_back(indexable_state(item).use);
            refs.emplace_back(py::borrow, item);
        });
        std::vector<PyObject*> objects;
        objects.reserve(refs.size());
        for (const py::PyRef& ref : refs) objects.push_back(ref.get());
        PyObject* missing = nullptr;
        {
            auto store = idx->api->items->read();
            for (PyObject* obj : objects) {
                if (store->get(indexable_id(obj)) != obj) {
                    missing = obj;
                    break;
                }
            }
        }
        if (missing != nullptr) not_held(missing);
        std::vector<StoredItem> taken = withdraw(idx, objects);
        // `refs` keeps every object alive until the uses have ended; the
        // store's references go first.
        uses.clear();
        taken.clear();
        // Objects freed now may run finalisers that use the index.
        use.end();
        refs.clear();
        Py_RETURN_NONE;
    });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return keyword_method<IndexObject>("Index.get_by_attribute", Answer::Objects,
                                       py::gil_policy::index_get_by_attribute, self, args, nargs,
                                       kwnames);
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
        // That is a refusal like any other call's on an object in use; a
        // missing object is a broken invariant.
        bool missing = false;
        bool busy = false;
        selected.for_each([&](uint32_t id) {
            if (missing || busy) return;
            PyObject* obj = store->get(id);
            if (obj == nullptr) {
                missing = true;
            } else if (indexable_state(obj).use.exclusive()) {
                busy = true;
            }
        });
        if (missing || busy) {
            store.unlock();
            maps.unlock();
            if (missing) fail(kUnwrapNone);
            py::runtime_error(py::kAlreadyMutablyBorrowed);
        }
        // The selected objects' current attributes are entered again after
        // narrowing, except pairs that are still recorded.  Narrowing keeps
        // the selected ids, so those pairs are known now; their entries are
        // read now too, so that a nesting too deep fails before anything
        // changes.  The interpreter lock is kept, so the objects can be read.
        struct Pending {
            uint32_t id;
            Attr attr;
            std::unique_ptr<Entry> nested;
        };
        std::vector<Pending> pending;
        try {
            selected.for_each([&](uint32_t id) {
                PyObject* obj = store->get(id);
                for (const auto& attr : indexable_state(obj).attributes) {
                    const auto& [name, value] = attr;
                    if (hidden_name(name.view())) continue;
                    auto it = maps->find(name.str());
                    if (it != maps->end() && it->second->has_pair(value, id)) continue;
                    std::unique_ptr<Entry> nested;
                    if (value.kind() == CastValue::Ind) {
                        std::vector<uint32_t> path{id};
                        nested = make_entry(value.object(), false, false, path);
                    }
                    pending.push_back(Pending{id, attr, std::move(nested)});
                }
            });
        } catch (...) {
            // Nothing has changed yet: the locks are left unbroken.
            store.unlock();
            maps.unlock();
            throw;
        }
        py::run_engine(py::gil_policy::index_reduce, [&] { narrow(*maps, selected); });
        EnteredList entered;
        for (const Pending& p : pending)
            add_index_value(*maps, p.id, p.attr.first.str(), p.attr.second, p.nested.get(), &entered);
        store.unlock();
        maps.unlock();
        register_entered(entered);
        Py_RETURN_NONE;
    });
}

PyObject* index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return keyword_method<IndexObject>("Index.reduced", Answer::View, py::gil_policy::index_reduced,
                                       self, args, nargs, kwnames);
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return query_method<IndexObject>("Index.reduced_query", py::gil_policy::index_reduced_query,
                                     self, args, nargs, kwnames);
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
        // The target comes to hold every object of the source: their value
        // entries, their ids, its own references to them in its store, and
        // its registration on each, so that their assignments reach it.
        std::vector<py::PyRef> objects;
        {
            auto source = other->api->items->read();
            source->for_each([&](PyObject* obj) { objects.emplace_back(py::borrow, obj); });
        }
        // Every object is held in exclusive use until its registration, so
        // that no assignment runs while the maps are merged (one already
        // done in the target and not yet in the source would leave the old
        // value behind).  One in use elsewhere refuses the union before
        // anything changes.
        std::vector<py::ExclusiveUse> uses;
        uses.reserve(objects.size());
        for (const py::PyRef& obj : objects) uses.emplace_back(indexable_state(obj.get()).use);
        std::vector<PyObject*> incoming;
        {
            auto store = idx->api->items->write();
            for (const py::PyRef& obj : objects) {
                uint32_t id = indexable_id(obj.get());
                if (store->get(id) == obj.get()) continue;
                store->put(id, py::share(obj.get()));
                incoming.push_back(obj.get());
            }
        }
        EnteredList entered;
        py::run_engine(py::gil_policy::index_union_with,
                       [&] { union_with(*idx->api, *other->api, &entered); });
        std::weak_ptr<IndexAPI> weak = idx->api;
        for (PyObject* obj : incoming) indexable_state(obj).add_index(weak);
        register_entered(entered);
        Py_RETURN_NONE;
    });
}

PyObject* index_ordered_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return ordered_by_method<IndexObject>("Index.ordered_by", py::gil_policy::index_ordered_by, self,
                                          args, nargs, kwnames);
}

PyObject* index_value_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return value_counts_method<IndexObject>("Index.value_counts", py::gil_policy::index_value_counts,
                                            self, args, nargs, kwnames);
}

PyMethodDef index_methods[] = {
    CORVANE_FINAL_CLASS_METHODS
    CORVANE_GENERIC_CLASS_METHODS
    CORVANE_NO_PICKLE_METHODS
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
    {"ordered_by", CORVANE_FASTCALL(index_ordered_by), METH_FASTCALL | METH_KEYWORDS,
     "ordered_by($self, attr, descending=False, limit=None)\n--\n\n"},
    {"value_counts", CORVANE_FASTCALL(index_value_counts), METH_FASTCALL | METH_KEYWORDS,
     "value_counts($self, attr)\n--\n\n"},
    {"remove_object", CORVANE_FASTCALL(index_remove_object), METH_FASTCALL | METH_KEYWORDS,
     "remove_object($self, py_ref)\n--\n\n"},
    {"remove_object_many", CORVANE_FASTCALL(index_remove_object_many),
     METH_FASTCALL | METH_KEYWORDS, "remove_object_many($self, objs)\n--\n\n"},
    {"discard_object", CORVANE_FASTCALL(index_discard_object), METH_FASTCALL | METH_KEYWORDS,
     "discard_object($self, py_ref)\n--\n\n"},
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
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_store_owner<IndexObject>)},
        {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
        {Py_tp_methods, index_methods},
        {Py_tp_members, index_members},
        {Py_sq_length, reinterpret_cast<void*>(container_length<IndexObject>)},
        {Py_sq_contains, reinterpret_cast<void*>(container_contains<IndexObject>)},
        {Py_tp_iter, reinterpret_cast<void*>(container_iter<IndexObject>)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane.Index", static_cast<int>(sizeof(IndexObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return type_from_spec(&spec);
}

}  // namespace corvane
