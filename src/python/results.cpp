#include "python/results.hpp"

#include <vector>

#include "engine/stored.hpp"
#include "python/ref.hpp"

namespace corvane {

namespace {

// A new list of `n` empty places and the array of its items, which the
// caller fills before the list is seen by anyone (each place owning a
// reference).  On PyPy a list reached through the C API keeps its items in
// such an array once it has been through `PySequence_Fast`, which makes
// filling it one write per item instead of one call per item.
PyObject* new_list(size_t n, PyObject**& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) throw py::PyErrorSet{};
    if (n == 0) {
        items = nullptr;
        return list;
    }
#ifdef PYPY_VERSION
    PyObject* fast = PySequence_Fast(list, "a list");
    if (fast == nullptr) {
        Py_DECREF(list);
        throw py::PyErrorSet{};
    }
    items = PySequence_Fast_ITEMS(fast);
    Py_DECREF(fast);  // the list itself, which `list` still holds
#else
    items = reinterpret_cast<PyListObject*>(list)->ob_item;
#endif
    return list;
}

}  // namespace

PyObject* objects_for_ids(const Locked<Store>& store, const Bitmap& ids) {
    const size_t total = static_cast<size_t>(ids.cardinality());
    PyObject** items = nullptr;
    py::PyRef list(py::new_ref, new_list(total, items));
    // The store hands the objects over (asking for their headers), then
    // the references are taken.  Ids whose object has left the store since
    // they were selected (a view of an index the object was removed from)
    // are skipped.
    const size_t filled = total == 0 ? 0 : gather_stored(store, ids, items);
    for (size_t i = 0; i < filled; ++i) Py_INCREF(items[i]);
    if (filled < total) {
        // The places past those filled hold nothing: the objects move to a
        // list of their number and the longer one, emptied, is dropped.
        PyObject** shorter_items = nullptr;
        py::PyRef shorter(py::new_ref, new_list(filled, shorter_items));
        for (size_t i = 0; i < filled; ++i) {
            shorter_items[i] = items[i];
            items[i] = nullptr;  // the longer list no longer owns it
        }
        return shorter.release();
    }
    return list.release();
}

// The references are taken before the list is made: making it may run a
// collection, whose finalisers may remove the objects from their index.
PyObject* list_of(PyObject* const* objects, size_t n) {
    for (size_t i = 0; i < n; ++i) Py_INCREF(objects[i]);
    PyObject** items = nullptr;
    PyObject* list = nullptr;
    try {
        list = new_list(n, items);
    } catch (const py::PyErrorSet&) {
        for (size_t i = 0; i < n; ++i) Py_DECREF(objects[i]);
        throw;
    }
    for (size_t i = 0; i < n; ++i) items[i] = objects[i];
    return list;
}

PyObject* list_of(const std::vector<PyObject*>& objects) {
    return list_of(objects.data(), objects.size());
}

}  // namespace corvane
