#include "python/selection.hpp"

#include <optional>
#include <utility>

#include "engine/lookup.hpp"
#include "engine/stored.hpp"
#include "python/filtered_index.hpp"
#include "python/index.hpp"
#include "python/indexable.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"
#include "python/values.hpp"

namespace corvane {

Bitmap Selection::keywords(const HashQuery& query, py::Gil policy) const {
    return py::run_engine(policy, [&] { return filter_within(*maps_, query, selected_); });
}

Universe Selection::universe() const noexcept {
    if (selected_ != nullptr) return Universe{selected_, nullptr};
    return Universe{nullptr, members_->get()};
}

Bitmap Selection::query(QueryExpr expr, py::Gil policy) const {
    return py::run_engine(policy, [&] {
        Bitmap ids = evaluate_within(*maps_, universe(), expr);
        QueryExpr doomed = std::move(expr);
        return ids;
    });
}

Selection selection_of(IndexObject* index) { return Selection(*index->api, index->store_owner); }

Selection selection_of(FilteredIndexObject* view) {
    return Selection(view->attr_maps, view->items, view->member_ids, view->store_owner);
}

PyObject* Selection::view(Bitmap ids) const {
    return new_filtered_index(maps_, items_, std::move(ids), store_owner_);
}

PyObject* Selection::objects(const Bitmap& ids) const { return objects_for_ids(*items_, ids); }

Py_ssize_t Selection::count() const {
    if (selected_ != nullptr) return static_cast<Py_ssize_t>(count_stored(*items_, *selected_));
    return static_cast<Py_ssize_t>(stored_count(*items_));
}

bool Selection::holds(PyObject* obj) const {
    if (!is_indexable(obj)) return false;
    uint32_t id = indexable_id(obj);
    if (selected_ != nullptr && !selected_->contains(id)) return false;
    return store_holds(*items_, id, obj);
}

PyObject* Selection::all() const {
    if (selected_ != nullptr) return objects(*selected_);
    return list_of(all_stored(*items_));
}

PyObject* Selection::ordered(const std::string& attr, bool descending, size_t limit, size_t offset,
                             py::Gil policy) const {
    // A view may still select objects removed from its index since: they
    // must not take places of the limit, so the walk runs within the ids
    // still stored.
    std::optional<Bitmap> stored;
    if (selected_ != nullptr) stored = stored_among(*items_, *selected_);
    std::vector<uint32_t> ids = py::run_engine(policy, [&] {
        const Universe u = stored ? Universe{&*stored, nullptr} : universe();
        return ordered_within(*maps_, u, attr, descending, limit, offset);
    });
    return list_of(stored_in_order(*items_, ids));
}

PyObject* Selection::value_counts(const std::string& attr, py::Gil policy) const {
    std::vector<ValueCount> counts =
        py::run_engine(policy, [&] { return value_counts_within(*maps_, universe(), attr); });
    // The dict is built after every lock is given up: hashing and comparing
    // the values may run Python code, which may assign attributes.
    py::PyRef dict(py::new_ref, PyDict_New());
    for (const ValueCount& c : counts) {
        PyObject* key = c.value.object();
        if (PyObject_Hash(key) == -1) {
            // A dict cannot take it: say so, naming the type.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PyErrorSet{};
            PyErr_Clear();
            py::type_error("value_counts() cannot count an unhashable value of type '" +
                           py::type_name(key) + "'");
        }
        py::PyRef n(py::new_ref, PyLong_FromUnsignedLongLong(c.count));
        // Two recorded keys that the dict takes as one (an equality that
        // changed since they were recorded) share one entry.
        PyObject* had = PyDict_GetItemWithError(dict.get(), key);
        if (had == nullptr && PyErr_Occurred()) throw py::PyErrorSet{};
        if (had != nullptr) {
            n = py::PyRef(py::new_ref, PyNumber_Add(had, n.get()));
        }
        if (PyDict_SetItem(dict.get(), key, n.get()) < 0) throw py::PyErrorSet{};
    }
    return dict.release();
}

std::string attr_argument(PyObject* arg, const char* param) {
    if (!PyUnicode_Check(arg)) py::argument_conversion_error(arg, "PyString", param);
    return attribute_name(arg);
}

namespace {

// A count argument (`limit`, `offset`): an int, not a bool, not negative;
// one beyond any index size is as good as SIZE_MAX.
size_t count_argument(PyObject* arg, const char* param) {
    if (!PyLong_Check(arg) || PyBool_Check(arg)) py::argument_conversion_error(arg, "int", param);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(arg, &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (overflow < 0 || (overflow == 0 && n < 0))
        py::raise(PyExc_ValueError, std::string("argument '") + param + "': must not be negative");
    return overflow > 0 ? SIZE_MAX : static_cast<size_t>(n);
}

}  // namespace

OrderArgs order_args(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"attr", "descending", "limit", "offset"};
    PyObject* out[4];
    py::match(py::Signature{name, params, 4, 3}, args, nargs, kwnames, out);
    OrderArgs a;
    a.attr = attr_argument(out[0], "attr");
    if (out[1] != nullptr) {
        if (!PyBool_Check(out[1])) py::argument_conversion_error(out[1], "PyBool", "descending");
        a.descending = out[1] == Py_True;
    }
    if (out[2] != nullptr && out[2] != Py_None) a.limit = count_argument(out[2], "limit");
    if (out[3] != nullptr) a.offset = count_argument(out[3], "offset");
    return a;
}

}  // namespace corvane
