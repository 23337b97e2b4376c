#include "python/results.hpp"

#include <vector>

#include "python/ref.hpp"
#include "structures/failure.hpp"

namespace corvane {

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

PyObject* objects_in_order(const Store& store, const std::vector<uint32_t>& ids) {
    for (uint32_t id : ids) store.prefetch(id);
    py::PyRef list(py::new_ref, PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (size_t i = 0; i < ids.size(); ++i) {
        PyObject* obj = store.get(ids[i]);
        if (obj == nullptr) fail(kUnwrapNone);
        Py_INCREF(obj);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), obj);
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
