#include "python/index.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <span>

#include "engine/entry.hpp"
#include "engine/operations.hpp"
#include "engine/query_map.hpp"
#include "engine/reduce.hpp"
#include "engine/registration.hpp"
#include "engine/stored.hpp"
#include "python/args.hpp"
#include "python/contention.hpp"
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
#include "python/values.hpp"

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
    if (idx->use.in_use()) return 0;
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
        return list_of(all_stored(*idx->api->items));
    });
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument("Index.add_object", "py_ref", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        PyObject* obj = indexable_arg(arg, "py_ref");
        IndexableState& st = indexable_state(obj);
        // The object stays in exclusive use for the whole call, so no
        // assignment slips between reading, entering and registering it.
        py::UseGroup uses;
        uses.add(idx->use, true);
        uses.add(st.use, true);
        uses.take();
        std::vector<uint32_t> path;
        std::unique_ptr<Entry> entry = make_entry(obj, true, false, path);
        // The store changes only while the interpreter lock is held, so that
        // the collector always sees it whole (see store_owner.cpp).
        put_item(*idx->api->items, entry->id, entry->item);
        EnteredList entered;
        py::run_engine(py::gil_policy::index_add_object,
                       [&] { add_object(*idx->api, *entry, false, &entered); });
        add_registration(st.indexes, idx->api);
        register_entered(entered);
        Py_RETURN_NONE;
    });
}

// The objects of a batch argument: an `Index` or a `FilteredIndex` stands
// for the objects it holds, taken before the receiver is (the two may be
// one index); any other argument is iterated as it is.
py::PyRef batch_argument(PyObject* arg) {
    if (!PyObject_TypeCheck(arg, index_type()) && !PyObject_TypeCheck(arg, filtered_index_type()))
        return py::PyRef(py::borrow, arg);
    return py::PyRef(py::new_ref, PyObject_CallMethod(arg, "collect", nullptr));
}

// The `Indexable` objects of the batch argument `arg` of method `name`, in
// `objects`, each and the index taken in exclusive use in `uses` (the
// objects first, the index last).  The index is held while the argument is
// iterated, which may run Python code; then the index and every object are
// taken together, so that a call that waits for one of them holds none.
void take_batch(const char* name, IndexObject* idx, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::vector<py::PyRef>& objects, py::UseGroup& uses) {
    py::PyRef batch = batch_argument(py::single_argument(name, "objs", args, nargs, kwnames));
    PyObject* arg = batch.get();
    {
        py::ExclusiveUse use(idx->use);
        if (!PyUnicode_Check(arg)) objects.reserve(py::size_hint(arg));
        py::for_each_in_iterable(arg, "objs", [&](PyObject* item) {
            if (!is_indexable(item)) py::conversion_error(item, "Indexable");
            objects.emplace_back(py::borrow, item);
        });
    }
    uses.reserve(objects.size() + 1);
    for (const py::PyRef& obj : objects) uses.add(indexable_state(obj.get()).use, true);
    uses.add(idx->use, true);
    uses.take();
}

// The objects whose references keys adopted (see `PyValue::adopt_later`):
// taken when the list goes, with the interpreter lock.
struct AdoptedRefs {
    std::vector<PyObject*> objects;
    AdoptedRefs() = default;
    AdoptedRefs(const AdoptedRefs&) = delete;
    AdoptedRefs& operator=(const AdoptedRefs&) = delete;
    ~AdoptedRefs() {
        for (PyObject* obj : objects) Py_INCREF(obj);
    }
};

// A batch is entered in runs of this many objects (see `add_object_many`).
constexpr size_t kBatchRun = 65536;

// The entries of `entered[from...]` that point into the entries `[first,
// last)` get a snapshot of the list they were entered from instead.
void keep_entered_lists(EnteredList& entered, size_t from, const Entry* first, const Entry* last) {
    for (size_t i = from; i < entered.size(); ++i) {
        NestedEntered& e = entered[i];
        if (e.entry == nullptr || e.entry < first || e.entry >= last) continue;
        e.snapshot = std::make_shared<const AttrList>(*e.entry->attrs);
        e.entry = nullptr;
    }
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        IndexObject* idx = as_index(self);
        std::vector<py::PyRef> objects;
        py::UseGroup uses;
        take_batch("Index.add_object_many", idx, args, nargs, kwnames, objects, uses);

        // Every entry is read before anything is entered (reading may
        // raise), but the objects' own values only a run at a time, just
        // before the run is entered: the batch holds the engine values of
        // one run, whatever its size.
        std::vector<Entry> entries(objects.size());
        BatchReader reader;
        for (size_t i = 0; i < objects.size(); ++i)
            reader.fill(entries[i], objects[i].get(), true, false, true);
        EnteredList entered;
        PendingRanges ranges;
        ranges.expected = entries.size();
        const bool runs = entries.size() > kBatchRun;
        std::vector<AttrList> lists(std::min(entries.size(), kBatchRun));
        for (size_t first = 0; first < entries.size(); first += kBatchRun) {
            const size_t end = std::min(entries.size(), first + kBatchRun);
            for (size_t i = first; i < end; ++i)
                read_deferred(entries[i], objects[i].get(), lists[i - first]);
            const size_t entered_before = entered.size();
            {
                // The keys made from the run's values take their references
                // here, with the interpreter lock, whatever happens.
                AdoptedRefs adopted;
                py::run_engine(py::gil_policy::index_add_object_many, [&] {
                    add_object_many(*idx->api, std::span<const Entry>(&entries[first], end - first),
                                    &entered, runs ? &ranges : nullptr, &adopted.objects);
                });
            }
            // An object of the run entered into a nested index as well (a
            // reference cycle back to it) is compared, when registered, with
            // the list it was entered from: the next run reuses the lists.
            keep_entered_lists(entered, entered_before, entries.data() + first,
                               entries.data() + end);
        }
        lists = {};
        if (runs)
            py::run_engine(py::gil_policy::index_add_object_many,
                           [&] { enter_pending_ranges(*idx->api, ranges); });
        std::weak_ptr<IndexAPI> weak = idx->api;
        for (size_t i = 0; i < objects.size(); ++i) {
            add_registration(indexable_state(objects[i].get()).indexes, weak);
            uses.end(i);
        }
        put_entries(*idx->api->items, entries);
        register_entered(entered);
        Py_RETURN_NONE;
    });
}

// True when the index holds `obj` (an `Indexable`).
bool holds(IndexObject* idx, PyObject* obj) {
    return store_holds(*idx->api->items, indexable_id(obj), obj);
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
    std::vector<AttrList> lists(objects.size());
    std::vector<Leaving> leaving;
    leaving.reserve(objects.size());
    for (size_t i = 0; i < objects.size(); ++i) {
        const IndexableState& st = indexable_state(objects[i]);
        read_attributes(st.attributes, true, lists[i]);
        leaving.push_back(Leaving{st.id, &lists[i]});
    }
    py::run_engine(py::gil_policy::index_remove_object,
                   [&] { remove_objects(*idx->api, leaving); });
    std::weak_ptr<IndexAPI> weak = idx->api;
    std::vector<uint32_t> ids;
    ids.reserve(objects.size());
    for (PyObject* obj : objects) {
        IndexableState& st = indexable_state(obj);
        remove_registration(st.indexes, weak);
        ids.push_back(st.id);
    }
    return take_items(*idx->api->items, ids);
}

PyObject* remove_one(const char* name, bool must_hold, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument(name, "py_ref", args, nargs, kwnames);
        IndexObject* idx = as_index(self);
        PyObject* obj = indexable_arg(arg, "py_ref");
        // No assignment may run until the index has let go of the object.
        py::UseGroup uses;
        uses.add(idx->use, true);
        uses.add(indexable_state(obj).use, true);
        uses.take();
        if (!holds(idx, obj)) {
            if (must_hold) not_held(obj);
            Py_RETURN_NONE;
        }
        // The caller's argument keeps the object alive past the store's
        // reference, which goes after the use ends.
        std::vector<StoredItem> taken = withdraw(idx, {obj});
        uses.end(1);
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
        IndexObject* idx = as_index(self);
        // Every item is checked before anything changes: one that is not an
        // `Indexable`, is in use elsewhere (or twice in the batch) or is not
        // held refuses the whole batch.
        std::vector<py::PyRef> refs;
        py::UseGroup uses;
        take_batch("Index.remove_object_many", idx, args, nargs, kwnames, refs, uses);
        std::vector<PyObject*> objects;
        objects.reserve(refs.size());
        for (const py::PyRef& ref : refs) objects.push_back(ref.get());
        std::vector<uint32_t> ids;
        ids.reserve(objects.size());
        for (PyObject* obj : objects) ids.push_back(indexable_id(obj));
        const size_t missing = first_not_held(*idx->api->items, ids, objects);
        if (missing < objects.size()) not_held(objects[missing]);
        std::vector<StoredItem> taken = withdraw(idx, objects);
        // `refs` keeps every object alive until the uses have ended; the
        // store's references go first.  Objects freed after that may run
        // finalisers that use the index.
        uses.end_all();
        taken.clear();
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

// What reducing an index reads of its selected objects: their attribute
// lists, and the entries of their `Indexable` values.  Reducing keeps the
// interpreter lock, so the objects can be read as engine values.
class SelectedObjects final : public ObjectReader {
public:
    // An object whose assignment is in progress cannot be read: some of
    // its indexes may already hold the new value while its own list still
    // holds the old one.  It is kept as `busy`.
    const AttrList* attributes(PyObject* obj) override {
        const IndexableState& st = indexable_state(obj);
        if (!st.use.exclusive()) return &read.emplace_back(read_attributes(st.attributes));
        busy = obj;
        return nullptr;
    }
    PyObject* busy = nullptr;
    // The lists read, alive until the reduction is done.
    std::deque<AttrList> read;
    std::unique_ptr<Entry> nested_entry(uint32_t id, const PyValue& value) override {
        std::vector<uint32_t> path{id};
        return make_entry(value.object(), false, false, path);
    }
};

PyObject* index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_positional("Index.reduce", nargs);
        IndexObject* idx = as_index(self);
        py::UseGroup uses;
        uses.add(idx->use, true);
        uses.take();
        HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        ReduceOutcome out;
        for (;;) {
            SelectedObjects reader;
            out = py::run_engine(py::gil_policy::index_reduce,
                                 [&] { return reduce_index(*idx->api, query, reader); });
            if (!out.refused) break;
            // An object in use is refused like any other call refuses it,
            // or, when calls wait, waited for with no use held; the index
            // is unchanged, and the narrowing starts again.
            py::PyRef keep(py::borrow, reader.busy);
            uses.wait_for(indexable_state(reader.busy).use, false);
            uses.reset();
            uses.add(idx->use, true);
            uses.take();
        }
        register_entered(out.entered);
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
        use.end();
        // The target comes to hold every object of the source: their value
        // entries, their ids, its own references to them in its store, and
        // its registration on each, so that their assignments reach it.
        // Every object is held in exclusive use until its registration, so
        // that no assignment runs while the maps are merged (one already
        // done in the target and not yet in the source would leave the old
        // value behind).  One in use elsewhere refuses the union before
        // anything changes, or, when calls wait, the union gives every use
        // back, waits for that object and starts again.
        // `idx.union_with(idx)` names one index twice and is refused.
        py::UseGroup uses;
        std::vector<py::PyRef> objects;
        for (;;) {
            uses.reset();
            uses.add(idx->use, true);
            uses.add(other->use, false);
            uses.take();
            objects.clear();
            for (PyObject* obj : all_stored(*other->api->items))
                objects.emplace_back(py::borrow, obj);
            uses.reserve(objects.size() + 2);
            for (const py::PyRef& obj : objects) uses.add(indexable_state(obj.get()).use, true);
            if (uses.try_take()) break;
            uses.wait();
        }
        // A reference of the target store's own for each object it lacks.
        std::vector<std::pair<uint32_t, StoredItem>> items;
        items.reserve(objects.size());
        for (const py::PyRef& obj : objects)
            items.emplace_back(indexable_id(obj.get()), py::share(obj.get()));
        std::vector<PyObject*> incoming = put_absent(*idx->api->items, std::move(items));
        EnteredList entered;
        py::run_engine(py::gil_policy::index_union_with,
                       [&] { union_with(*idx->api, *other->api, &entered); });
        std::weak_ptr<IndexAPI> weak = idx->api;
        for (PyObject* obj : incoming) add_registration(indexable_state(obj).indexes, weak);
        register_entered(entered);
        Py_RETURN_NONE;
    });
}

PyObject* index_ordered_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return ordered_by_method<IndexObject>("Index.ordered_by", py::gil_policy::index_ordered_by,
                                          self, args, nargs, kwnames);
}

PyObject* index_value_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return value_counts_method<IndexObject>(
        "Index.value_counts", py::gil_policy::index_value_counts, self, args, nargs, kwnames);
}

PyMethodDef index_methods[] = {
    CORVANE_FINAL_CLASS_METHODS CORVANE_GENERIC_CLASS_METHODS CORVANE_NO_PICKLE_METHODS{
        "collect", CORVANE_FASTCALL(index_collect), METH_FASTCALL | METH_KEYWORDS,
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
     "ordered_by($self, attr, descending=False, limit=None, offset=0)\n--\n\n"},
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
