// What an `Index` and its views have in common: live attribute maps and a
// store shared with the index, the owner object of that store, and a
// universe of ids.  Both classes select, narrow and collect through one
// `Selection`, so that the two can never drift apart.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "engine/keyword_filter.hpp"
#include "engine/lookup.hpp"
#include "engine/query_expr.hpp"
#include "engine/record.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/gil_policy.hpp"
#include "python/keywords.hpp"
#include "python/query_expr.hpp"
#include "python/ref.hpp"
#include "python/use.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

class Selection {
public:
    // A whole index: keyword filters answer from its maps as they are,
    // expressions run within its member ids.
    Selection(const IndexAPI& index, PyObject* store_owner) noexcept
        : maps_(index.attr_maps), items_(index.items), members_(&index.member_ids),
          store_owner_(store_owner) {}
    // A view: every answer lies within its selected ids.
    Selection(const SharedMaps& maps, const SharedStore& items, const Bitmap& selected,
              PyObject* store_owner) noexcept
        : maps_(maps), items_(items), selected_(&selected), store_owner_(store_owner) {}

    // The ids matching a keyword filter.
    Bitmap keywords(const HashQuery& query, py::Gil policy) const;
    // The ids matching an expression.  The expression is dropped where the
    // engine worked, with or without the interpreter lock (its values then
    // go back through the deferred queue).
    Bitmap query(QueryExpr expr, py::Gil policy) const;
    // A new view over the same maps and store selecting `ids`.
    PyObject* view(Bitmap ids) const;
    // The list of the objects for `ids`.
    PyObject* objects(const Bitmap& ids) const;
    // The list of the objects ordered by attribute `attr`, at most `limit`
    // (see `ordered_by_attribute`).
    PyObject* ordered(const std::string& attr, bool descending, size_t limit, size_t offset,
                      py::Gil policy) const;
    // A dict from each distinct value of `attr` to the number of objects
    // holding it (see `value_counts`).
    PyObject* value_counts(const std::string& attr, py::Gil policy) const;
    // The number of objects selected and still stored.
    Py_ssize_t count() const;
    // True when `obj` is one of those objects.
    bool holds(PyObject* obj) const;
    // The list of those objects, in ascending id order.
    PyObject* all() const;

private:
    // The selection's universe of ids: a view's selected ids, or the
    // index's members.
    Universe universe() const noexcept;

    const SharedMaps& maps_;
    const SharedStore& items_;
    const SharedIds* members_ = nullptr;
    const Bitmap* selected_ = nullptr;
    PyObject* store_owner_;
};

struct IndexObject;
struct FilteredIndexObject;

// The selection of an index or a view.
Selection selection_of(IndexObject* index);
Selection selection_of(FilteredIndexObject* view);

// What a selecting method returns: the objects, or a view of them.
enum class Answer : bool { Objects, View };

// The body of a method selecting by keyword filter (`get_by_attribute`,
// `reduced`) on an `Object` (`IndexObject` or `FilteredIndexObject`).
template <class Object>
PyObject* keyword_method(const char* name, Answer answer, py::Gil policy, PyObject* self,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_positional(name, nargs);
        Object* target = reinterpret_cast<Object*>(self);
        py::SharedUse use(target->use);
        HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        Selection sel = selection_of(target);
        Bitmap ids = sel.keywords(query, policy);
        return answer == Answer::View ? sel.view(std::move(ids)) : sel.objects(ids);
    });
}

// The arguments of `ordered_by`: the attribute, the direction and the
// limit (SIZE_MAX when there is none).
struct OrderArgs {
    std::string attr;
    bool descending = false;
    size_t limit = SIZE_MAX;
    size_t offset = 0;
};
OrderArgs order_args(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The body of `ordered_by` on an `Object`.
template <class Object>
PyObject* ordered_by_method(const char* name, py::Gil policy, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        OrderArgs a = order_args(name, args, nargs, kwnames);
        Object* target = reinterpret_cast<Object*>(self);
        py::SharedUse use(target->use);
        return selection_of(target).ordered(a.attr, a.descending, a.limit, a.offset, policy);
    });
}

// The attribute argument of `value_counts`.
std::string attr_argument(PyObject* arg, const char* param);

// The body of `value_counts` on an `Object`.
template <class Object>
PyObject* value_counts_method(const char* name, py::Gil policy, PyObject* self,
                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument(name, "attr", args, nargs, kwnames);
        std::string attr = attr_argument(arg, "attr");
        Object* target = reinterpret_cast<Object*>(self);
        py::SharedUse use(target->use);
        return selection_of(target).value_counts(attr, policy);
    });
}

// The body of `reduced_query` on an `Object`.
template <class Object>
PyObject* query_method(const char* name, py::Gil policy, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument(name, "query", args, nargs, kwnames);
        Object* target = reinterpret_cast<Object*>(self);
        py::SharedUse use(target->use);
        QueryExpr expr = query_expr_arg(arg, "query");
        Selection sel = selection_of(target);
        return sel.view(sel.query(std::move(expr), policy));
    });
}

// The container slots (`len`, `in`, `iter`) of an `Object`.  They count and
// test without building lists; iteration runs over a snapshot.
template <class Object>
Py_ssize_t container_length(PyObject* self) {
    Py_ssize_t n = -1;
    PyObject* r = py::entry([&]() -> PyObject* {
        Object* target = reinterpret_cast<Object*>(self);
        py::SharedUse use(target->use);
        n = selection_of(target).count();
        return Py_None;
    });
    return r == nullptr ? -1 : n;
}

template <class Object>
int container_contains(PyObject* self, PyObject* obj) {
    int found = -1;
    PyObject* r = py::entry([&]() -> PyObject* {
        Object* target = reinterpret_cast<Object*>(self);
        py::SharedUse use(target->use);
        found = selection_of(target).holds(obj) ? 1 : 0;
        return Py_None;
    });
    return r == nullptr ? -1 : found;
}

template <class Object>
PyObject* container_iter(PyObject* self) {
    return py::entry([&]() -> PyObject* {
        Object* target = reinterpret_cast<Object*>(self);
        py::PyRef list;
        {
            py::SharedUse use(target->use);
            list = py::PyRef(py::new_ref, selection_of(target).all());
        }
        return PyObject_GetIter(list.get());
    });
}

}  // namespace corvane
