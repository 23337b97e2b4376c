#include "python/selection.hpp"

#include <optional>
#include <utility>

#include "engine/evaluate.hpp"
#include "engine/order.hpp"
#include "python/filtered_index.hpp"
#include "python/index.hpp"
#include "python/indexable.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"
#include "python/values.hpp"

namespace corvane {

Bitmap Selection::keywords(const HashQuery& query, py::Gil policy) const {
    return py::run_engine(policy, [&] {
        auto maps = maps_->read();
        Bitmap matched = filter_index_by_hashes(*maps, query);
        if (selected_ != nullptr) return matched.and_(*selected_);
        return matched;
    });
}

Bitmap Selection::query(QueryExpr expr, py::Gil policy) const {
    return py::run_engine(policy, [&] {
        Bitmap ids;
        {
            auto maps = maps_->read();
            if (selected_ != nullptr) {
                ids = evaluate_query(*maps, *selected_, expr);
            } else {
                auto members = (*members_)->read();
                ids = evaluate_query(*maps, *members, expr);
            }
        }
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

PyObject* Selection::objects(const Bitmap& ids) const {
    auto store = items_->read();
    return objects_for_ids(*store, ids);
}

Py_ssize_t Selection::count() const {
    auto store = items_->read();
    if (selected_ != nullptr) return count_stored(*store, *selected_);
    return static_cast<Py_ssize_t>(store->count());
}

bool Selection::holds(PyObject* obj) const {
    if (!is_indexable(obj)) return false;
    uint32_t id = indexable_id(obj);
    if (selected_ != nullptr && !selected_->contains(id)) return false;
    return items_->read()->get(id) == obj;
}

PyObject* Selection::all() const {
    if (selected_ != nullptr) return objects(*selected_);
    auto store = items_->read();
    return all_objects(*store);
}

// The universe of a selection: a view's selected ids, or the index's
// members, read under their lock (taken after the maps', as the lock order
// asks).
template <class F>
decltype(auto) Selection::within_universe(F&& work) const {
    if (selected_ != nullptr) return work(*selected_);
    auto members = (*members_)->read();
    return work(*members);
}

PyObject* Selection::ordered(const std::string& attr, bool descending, size_t limit,
                             size_t offset, py::Gil policy) const {
    // A view may still select objects removed from its index since: they
    // must not take places of the limit, so the walk runs within the ids
    // still stored.
    std::optional<Bitmap> stored;
    if (selected_ != nullptr) {
        auto store = items_->read();
        Bitmap live;
        selected_->for_each([&](uint32_t id) {
            if (store->get(id) != nullptr) live.add(id);
        });
        stored = std::move(live);
    }
    std::vector<uint32_t> ids = py::run_engine(policy, [&] {
        auto maps = maps_->read();
        return within_universe([&](const Bitmap& universe) {
            return ordered_by_attribute(*maps, attr, stored ? *stored : universe, descending,
                                        limit, offset);
        });
    });
    auto store = items_->read();
    return objects_in_order(*store, ids);
}

PyObject* Selection::value_counts(const std::string& attr, py::Gil policy) const {
    std::vector<ValueCount> counts = py::run_engine(policy, [&] {
        auto maps = maps_->read();
        return within_universe(
            [&](const Bitmap& universe) { return corvane::value_counts(*maps, attr, universe); });
    });
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
