#include "python/results.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "engine/stored.hpp"
#include "python/ref.hpp"

namespace corvane {

namespace {

// A result list under construction: `n` places to fill with owned
// references, in `items()`, before anyone sees the list.
//
// On CPython the places are the new list's own item array.  PyPy's C-API
// layer offers two cheap fillings: a new list's item array, which it
// exposes through `PySequence_Fast` (one write per object instead of one
// call each), and a tuple's, from which `PySequence_List` makes an ordinary
// list.  The first is cheaper to make; the second gives a list that
// Python code walks without going back through the C-API layer for each
// item, which wins from a few dozen objects on.
class ResultList {
public:
    explicit ResultList(size_t n) : n_(n) {
#ifdef PYPY_VERSION
        via_tuple_ = n >= kTupleFrom;
        if (via_tuple_) {
            holder_ = py::PyRef(py::new_ref, PyTuple_New(static_cast<Py_ssize_t>(n)));
            items_ = &PyTuple_GET_ITEM(holder_.get(), 0);
            return;
        }
#endif
        holder_ = py::PyRef(py::new_ref, PyList_New(static_cast<Py_ssize_t>(n)));
        if (n == 0) return;
#ifdef PYPY_VERSION
        items_ = PySequence_Fast_ITEMS(holder_.get());
#else
        items_ = reinterpret_cast<PyListObject*>(holder_.get())->ob_item;
#endif
    }

    PyObject** items() const noexcept { return items_; }

    // The list of the first `filled` places (the others hold nothing).
    PyObject* finish(size_t filled) {
        if (filled < n_) {
            // The objects move to a container of their number; the longer
            // one, emptied, is dropped.
            ResultList shorter(filled);
            for (size_t i = 0; i < filled; ++i) {
                shorter.items_[i] = items_[i];
                items_[i] = nullptr;
            }
            return shorter.finish(filled);
        }
        if (!via_tuple_) return holder_.release();
        return PySequence_List(holder_.get());
    }

private:
#ifdef PYPY_VERSION
    static constexpr size_t kTupleFrom = 64;
#endif
    size_t n_;
    bool via_tuple_ = false;
    py::PyRef holder_;
    PyObject** items_ = nullptr;
};

}  // namespace

PyObject* objects_for_ids(const Locked<Store>& store, const Bitmap& ids) {
    const size_t total = static_cast<size_t>(ids.cardinality());
    ResultList out(total);
    // The store hands the objects over, and the references are taken as
    // their headers arrive, under the store's lock.  Ids whose object has left the store since
    // they were selected (a view of an index the object was removed from)
    // are skipped.
    const size_t filled =
        total == 0 ? 0 : gather_stored(store, ids, out.items(), [](PyObject* o) { Py_INCREF(o); });
    return out.finish(filled);
}

// The references are taken before the list is made: making it may run a
// collection, whose finalisers may remove the objects from their index.
PyObject* list_of(PyObject* const* objects, size_t n) {
    for (size_t i = 0; i < n; ++i) Py_INCREF(objects[i]);
    std::optional<ResultList> out;
    try {
        out.emplace(n);
    } catch (const py::PyErrorSet&) {
        for (size_t i = 0; i < n; ++i) Py_DECREF(objects[i]);
        throw;
    }
    std::copy(objects, objects + n, out->items());
    return out->finish(n);
}

PyObject* list_of(const std::vector<PyObject*>& objects) {
    return list_of(objects.data(), objects.size());
}

}  // namespace corvane
