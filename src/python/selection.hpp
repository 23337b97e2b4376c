// What an `Index` and its views have in common: live attribute maps and a
// store shared with the index, the owner object of that store, and a
// universe of ids.  Both classes select, narrow and collect through one
// `Selection`, so that the two can never drift apart.
#pragma once

#include <Python.h>

#include "engine/keyword_filter.hpp"
#include "engine/query_expr.hpp"
#include "engine/record.hpp"
#include "python/gil_policy.hpp"
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

private:
    const SharedMaps& maps_;
    const SharedStore& items_;
    const SharedIds* members_ = nullptr;
    const Bitmap* selected_ = nullptr;
    PyObject* store_owner_;
};

}  // namespace corvane
