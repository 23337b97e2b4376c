#include "python/filtered_index.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "engine/operations.hpp"
#include "engine/registration.hpp"
#include "engine/stored.hpp"
#include "python/args.hpp"
#include "python/contention.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/index.hpp"
#include "python/indexable.hpp"
#include "python/keywords.hpp"
#include "python/query_expr.hpp"
#include "python/results.hpp"
#include "python/selection.hpp"
#include "python/store_owner.hpp"
#include "python/types.hpp"

namespace corvane {

namespace {

FilteredIndexObject* as_view(PyObject* self) {
    return reinterpret_cast<FilteredIndexObject*>(self);
}

// Break a cycle: the view lets go of the store's owner and of the shared
// parts, and is left empty, with maps and a store of its own.  A view in
// use by a call is left alone.
int view_clear(PyObject* self) {
    FilteredIndexObject* view = as_view(self);
    if (view->use.in_use()) return 0;
    try {
        IndexAPI empty = IndexAPI::make();
        Bitmap no_ids;
        SharedMaps maps = std::exchange(view->attr_maps, std::move(empty.attr_maps));
        SharedStore items = std::exchange(view->items, std::move(empty.items));
        view->member_ids = std::move(no_ids);
        Py_CLEAR(view->store_owner);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

void view_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_view(self)->store_owner);
    as_view(self)->~FilteredIndexObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* view_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return keyword_method<FilteredIndexObject>("FilteredIndex.reduced", Answer::View,
                                               py::gil_policy::view_reduced, self, args, nargs,
                                               kwnames);
}

PyObject* view_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return query_method<FilteredIndexObject>("FilteredIndex.reduced_query",
                                             py::gil_policy::view_reduced_query, self, args, nargs,
                                             kwnames);
}

PyObject* view_collect(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_arguments("FilteredIndex.collect", nargs, kwnames);
        FilteredIndexObject* view = as_view(self);
        py::SharedUse use(view->use);
        return selection_of(view).objects(view->member_ids);
    });
}

// The objects of a view still stored in its index, for `rebase`; `busy`
// names one in use elsewhere, if any, which the call refuses or waits for.
std::vector<PyObject*> objects_to_rebase(FilteredIndexObject* view, PyObject*& busy) {
    std::vector<PyObject*> objects(static_cast<size_t>(view->member_ids.cardinality()));
    objects.resize(gather_stored(*view->items, view->member_ids, objects.data()));
    busy = nullptr;
    for (PyObject* obj : objects) {
        if (indexable_state(obj).use.in_use()) {
            busy = obj;
            break;
        }
    }
    return objects;
}

PyObject* view_rebase(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_arguments("FilteredIndex.rebase", nargs, kwnames);
        FilteredIndexObject* view = as_view(self);
        // An object removed from the index since the view was taken is no
        // longer part of it.  Every check and every reading (which may fail:
        // a nesting too deep) happens before anything is built, so a failure
        // leaves nothing behind.  The entries point at the objects' own
        // lists, which nothing can change while this call keeps the
        // interpreter lock; each entry carries a reference of its own, which
        // the new store keeps.  An object in use elsewhere is refused, or,
        // when calls wait, waited for with no use held, and the call starts
        // again.
        py::UseGroup uses;
        std::vector<PyObject*> objects;
        for (;;) {
            uses.reset();
            uses.add(view->use, false);
            uses.take();
            PyObject* busy = nullptr;
            objects = objects_to_rebase(view, busy);
            if (busy == nullptr) break;
            py::PyRef keep(py::borrow, busy);  // the index may let go of it meanwhile
            uses.wait_for(indexable_state(busy).use, true);
        }
        std::vector<std::unique_ptr<Entry>> entries;
        entries.reserve(objects.size());
        BatchReader reader;
        for (PyObject* obj : objects) entries.push_back(reader.make(obj, true, true));
        Rebuilt rebuilt = build_index(entries);
        std::weak_ptr<IndexAPI> weak = rebuilt.index;
        for (PyObject* obj : objects) add_registration(indexable_state(obj).indexes, weak);
        register_entered(rebuilt.entered);
        entries.clear();
        return new_index_object(std::move(rebuilt.index));
    });
}

PyObject* view_ordered_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return ordered_by_method<FilteredIndexObject>(
        "FilteredIndex.ordered_by", py::gil_policy::view_ordered_by, self, args, nargs, kwnames);
}

PyObject* view_value_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return value_counts_method<FilteredIndexObject>("FilteredIndex.value_counts",
                                                    py::gil_policy::view_value_counts, self, args,
                                                    nargs, kwnames);
}

PyMethodDef view_methods[] = {
    CORVANE_FINAL_CLASS_METHODS CORVANE_GENERIC_CLASS_METHODS CORVANE_NO_PICKLE_METHODS{
        "reduced", CORVANE_FASTCALL(view_reduced), METH_FASTCALL | METH_KEYWORDS,
        "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", CORVANE_FASTCALL(view_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", CORVANE_FASTCALL(view_collect), METH_FASTCALL | METH_KEYWORDS,
     "collect($self)\n--\n\n"},
    {"rebase", CORVANE_FASTCALL(view_rebase), METH_FASTCALL | METH_KEYWORDS,
     "rebase($self)\n--\n\n"},
    {"ordered_by", CORVANE_FASTCALL(view_ordered_by), METH_FASTCALL | METH_KEYWORDS,
     "ordered_by($self, attr, descending=False, limit=None, offset=0)\n--\n\n"},
    {"value_counts", CORVANE_FASTCALL(view_value_counts), METH_FASTCALL | METH_KEYWORDS,
     "value_counts($self, attr)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_filtered_index(SharedMaps maps, SharedStore items, Bitmap ids,
                             PyObject* store_owner) {
    PyTypeObject* type = filtered_index_type();
    if (type == nullptr) throw py::PyErrorSet{};
    py::PyRef self(py::new_ref, type->tp_alloc(type, 0));
    FilteredIndexObject* view = as_view(self.get());
    new (&view->use) py::UseCounter();
    new (&view->attr_maps) SharedMaps(std::move(maps));
    new (&view->items) SharedStore(std::move(items));
    new (&view->member_ids) Bitmap(std::move(ids));
    Py_XINCREF(store_owner);
    view->store_owner = store_owner;
    return self.release();
}

PyTypeObject* create_filtered_index_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_store_owner<FilteredIndexObject>)},
        {Py_tp_clear, reinterpret_cast<void*>(view_clear)},
        {Py_tp_methods, view_methods},
        {Py_sq_length, reinterpret_cast<void*>(container_length<FilteredIndexObject>)},
        {Py_sq_contains, reinterpret_cast<void*>(container_contains<FilteredIndexObject>)},
        {Py_tp_iter, reinterpret_cast<void*>(container_iter<FilteredIndexObject>)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane.FilteredIndex",
                               static_cast<int>(sizeof(FilteredIndexObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return type_from_spec(&spec);
}

}  // namespace corvane
