// Query expression trees, their evaluation, and the Python class
// `PyQueryExpr` that builds them.
//
// An expression is evaluated against the attribute maps of an index within a
// universe of ids; every result lies within the universe.  Evaluation works
// on stored hashes, range trees and bitmaps only and never calls into Python.
// Dotted attribute paths ("owner.age") descend into the nested index of the
// head attribute and map the matching nested objects back to their holders.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "structures/bitmap.hpp"
#include "index/index.hpp"
#include "index/value.hpp"
#include "python/use.hpp"

namespace corvane {

struct QueryMap;

struct QueryExpr {
    enum class Op : uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or };
    Op op = Op::And;
    std::string attr;              // comparisons
    std::vector<PyValue> values;   // Eq..Le: one; Bt: lower, upper; In: any number
    std::vector<QueryExpr> exprs;  // Not: one; And, Or: any number

    // The debug rendering: `Eq("age", PyValue { ... })`, `And([...])`, ...
    std::string debug() const;
};

// Split an attribute path at its first ".": head and, if there was a dot,
// the tail (which may be empty or contain more dots).
std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view attr);

Bitmap evaluate_query(const AttrMaps& maps, const Bitmap& universe, const QueryExpr& expr);
Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr);
// Evaluate over an index with its members as the universe (takes the
// index's read locks).
Bitmap reduced_query(const IndexAPI& index, const QueryExpr& expr);

struct QueryExprObject {
    PyObject_HEAD
    py::UseCounter use;
    QueryExpr expr;
};

// Convert an argument to a copy of its expression tree, or raise the
// conversion TypeError for `arg`.
QueryExpr query_expr_arg(PyObject* obj, const char* arg);

}  // namespace corvane
