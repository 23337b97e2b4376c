#include "python/results.hpp"

#include <vector>

#include "python/ref.hpp"

namespace corvane {

PyObject* objects_for_ids(const Store& store, const Bitmap& ids) {
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
    // Two passes: first gather the object pointers (reading the store in id
    // order) and ask for their headers, then take the references.  The
    // objects are scattered in memory, so overlapping those cache misses is
    // what makes this fast.  Ids whose object has left the store since they
    // were selected (a view of an index the object was removed from) are
    // skipped.
    Py_ssize_t filled = 0;
    ids.for_each_chunk([&](const uint32_t* chunk, uint32_t n) {
        for (uint32_t k = 0; k < n; ++k) store.prefetch(chunk[k]);
        for (uint32_t k = 0; k < n; ++k) {
            PyObject* obj = store.get(chunk[k]);
            if (obj == nullptr) continue;
            __builtin_prefetch(obj, 1, 3);
            items[filled++] = obj;
        }
    });
#ifdef PYPY_VERSION
    py::PyRef list(py::new_ref, PyList_New(filled));
    for (Py_ssize_t i = 0; i < filled; ++i) {
        Py_INCREF(items[i]);
        PyList_SET_ITEM(list.get(), i, items[i]);
    }
    return list.release();
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

Py_ssize_t count_stored(const Store& store, const Bitmap& ids) {
    if (store.count() == 0) return 0;
    Py_ssize_t n = 0;
    ids.for_each_chunk([&](const uint32_t* chunk, uint32_t k) {
        for (uint32_t i = 0; i < k; ++i) n += store.get(chunk[i]) != nullptr;
    });
    return n;
}

PyObject* objects_in_order(const Store& store, const std::vector<uint32_t>& ids) {
    for (uint32_t id : ids) store.prefetch(id);
    // A view may still select ids whose objects were removed from the index
    // since: they are passed over, as `objects_for_ids` does.
    std::vector<PyObject*> found;
    found.reserve(ids.size());
    for (uint32_t id : ids)
        if (PyObject* obj = store.get(id)) found.push_back(obj);
    py::PyRef list(py::new_ref, PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (size_t i = 0; i < found.size(); ++i) {
        Py_INCREF(found[i]);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), found[i]);
    }
    return list.release();
}

PyObject* all_objects(const Store& store) {
    py::PyRef list(py::new_ref, PyList_New(static_cast<Py_ssize_t>(store.count())));
    Py_ssize_t i = 0;
    store.for_each([&](PyObject* obj) {
        Py_INCREF(obj);
        PyList_SET_ITEM(list.get(), i++, obj);
    });
    return list.release();
}

}  // namespace corvane
