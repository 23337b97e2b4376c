#include "python/results.hpp"

#include <vector>

#include "engine/stored.hpp"
#include "python/ref.hpp"

namespace corvane {

PyObject* objects_for_ids(const Locked<Store>& store, const Bitmap& ids) {
    Py_ssize_t total = static_cast<Py_ssize_t>(ids.cardinality());
#ifdef PYPY_VERSION
    // PyPy's lists have no C array to fill directly: the pointers are
    // gathered first and the list, made to their number, filled after.
    std::vector<PyObject*> buffer(static_cast<size_t>(total));
    PyObject** items = buffer.data();
#else
    py::PyRef list(py::new_ref, PyList_New(total));
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
#endif
    // The store hands the objects over (asking for their headers), then
    // the references are taken.  Ids whose object has left the store since
    // they were selected (a view of an index the object was removed from)
    // are skipped.
    const auto filled = static_cast<Py_ssize_t>(gather_stored(store, ids, items));
#ifdef PYPY_VERSION
    return list_of(buffer.data(), static_cast<size_t>(filled));
#else
    for (Py_ssize_t i = 0; i < filled; ++i) Py_INCREF(items[i]);
    if (filled < total) {
        py::PyRef shorter(py::new_ref, PyList_New(filled));
        for (Py_ssize_t i = 0; i < filled; ++i) {
            PyList_SET_ITEM(shorter.get(), i, items[i]);
            items[i] = nullptr;  // the longer list no longer owns it
        }
        return shorter.release();
    }
    return list.release();
#endif
}

// The references are taken before the list is made: making it may run a
// collection, whose finalisers may remove the objects from their index.
PyObject* list_of(PyObject* const* objects, size_t n) {
    for (size_t i = 0; i < n; ++i) Py_INCREF(objects[i]);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) {
        for (size_t i = 0; i < n; ++i) Py_DECREF(objects[i]);
        throw py::PyErrorSet{};
    }
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects[i]);
    return list;
}

PyObject* list_of(const std::vector<PyObject*>& objects) {
    return list_of(objects.data(), objects.size());
}

}  // namespace corvane
