// The Python class `PyQueryExpr`, whose static methods build query
// expression trees (engine/query_expr.hpp).
#pragma once

#include <Python.h>

#include "engine/query_expr.hpp"
#include "python/use.hpp"

namespace corvane {

struct QueryExprObject {
    PyObject_HEAD py::UseCounter use;
    QueryExpr expr;
};

// Convert an argument to a copy of its expression tree, or raise the
// conversion TypeError for `arg`.
QueryExpr query_expr_arg(PyObject* obj, const char* arg);

}  // namespace corvane
