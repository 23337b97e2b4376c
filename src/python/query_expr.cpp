#include "python/query_expr.hpp"

#include <algorithm>
#include <cstddef>
#include <new>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"
#include "python/use.hpp"
#include "python/values.hpp"

namespace corvane {

namespace {

QueryExprObject* as_expr(PyObject* self) { return reinterpret_cast<QueryExprObject*>(self); }

// Evaluating, rendering and dropping a tree recurse once per level, partly
// without the interpreter lock, and combining copies its operands whole, so
// that building a chain takes time quadratic in its depth: trees deeper
// than this are refused when they are built.
constexpr size_t kMaxQueryDepth = 2000;

size_t depth_of(const QueryExpr& e) {
    size_t below = 0;
    for (const QueryExpr& operand : e.exprs) below = std::max(below, depth_of(operand));
    return below + 1;
}

// Raise RecursionError if `e` is too deep.  Its operands were built here
// and are within the bound, so this recursion is too.
void check_depth(const QueryExpr& e) {
    if (depth_of(e) > kMaxQueryDepth) {
        PyErr_Format(PyExc_RecursionError, "maximum depth (%zu) of a query expression exceeded",
                     kMaxQueryDepth);
        throw py::PyErrorSet{};
    }
}

PyObject* wrap_expr(QueryExpr expr) {
    PyTypeObject* type = query_expr_type();
    if (type == nullptr) throw py::PyErrorSet{};
    py::PyRef self(py::new_ref, type->tp_alloc(type, 0));
    new (&as_expr(self.get())->use) py::UseCounter();
    new (&as_expr(self.get())->expr) QueryExpr(std::move(expr));
    return self.release();
}

void expr_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_expr(self)->expr.~QueryExpr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* expr_repr(PyObject* self) {
    return py::entry([&]() -> PyObject* {
        py::SharedUse use(as_expr(self)->use);
        std::string text = "<QueryExpr: " + as_expr(self)->expr.debug() + ">";
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    });
}

std::string attr_arg(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        py::argument_conversion_error(obj, "PyString", "attr");
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
    if (s == nullptr) py::rethrow_for_argument("attr");
    return std::string(s, static_cast<size_t>(len));
}

template <QueryExpr::Op op>
PyObject* compare_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        static const char* const params[] = {"attr", "value"};
        static const std::string name =
            std::string("PyQueryExpr.") + (op == QueryExpr::Op::Eq   ? "eq"
                                           : op == QueryExpr::Op::Ne ? "ne"
                                           : op == QueryExpr::Op::Gt ? "gt"
                                           : op == QueryExpr::Op::Ge ? "ge"
                                           : op == QueryExpr::Op::Lt ? "lt"
                                                                     : "le");
        PyObject* out[2];
        py::match(py::Signature{name.c_str(), params, 2}, args, nargs, kwnames, out);
        QueryExpr e;
        e.op = op;
        e.attr = attr_arg(out[0]);
        e.values.push_back(wrap_value(out[1]));
        return wrap_expr(std::move(e));
    });
}

PyObject* bt_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        static const char* const params[] = {"attr", "lower", "upper"};
        PyObject* out[3];
        py::match(py::Signature{"PyQueryExpr.bt", params, 3}, args, nargs, kwnames, out);
        QueryExpr e;
        e.op = QueryExpr::Op::Bt;
        e.attr = attr_arg(out[0]);
        e.values.push_back(wrap_value(out[1]));
        e.values.push_back(wrap_value(out[2]));
        return wrap_expr(std::move(e));
    });
}

// `startswith(attr, prefix)`: the prefix must be a str (a subclass too).
PyObject* startswith_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        static const char* const params[] = {"attr", "prefix"};
        PyObject* out[2];
        py::match(py::Signature{"PyQueryExpr.startswith", params, 2}, args, nargs, kwnames, out);
        QueryExpr e;
        e.op = QueryExpr::Op::StartsWith;
        e.attr = attr_arg(out[0]);
        if (!PyUnicode_Check(out[1])) py::argument_conversion_error(out[1], "PyString", "prefix");
        e.values.push_back(wrap_value(out[1]));
        return wrap_expr(std::move(e));
    });
}

// `contains(attr, value)`: `value` must be hashable, since only hashable
// elements are keyed.
PyObject* contains_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        static const char* const params[] = {"attr", "value"};
        PyObject* out[2];
        py::match(py::Signature{"PyQueryExpr.contains", params, 2}, args, nargs, kwnames, out);
        QueryExpr e;
        e.op = QueryExpr::Op::Contains;
        e.attr = attr_arg(out[0]);
        if (PyObject_Hash(out[1]) == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PyErrorSet{};
            PyErr_Clear();
            py::type_error(std::string("argument 'value': unhashable type: '") +
                           Py_TYPE(out[1])->tp_name + "'");
        }
        e.values.push_back(wrap_value(out[1]));
        return wrap_expr(std::move(e));
    });
}

PyObject* in_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        static const char* const params[] = {"attr", "values"};
        PyObject* out[2];
        py::match(py::Signature{"PyQueryExpr.in_", params, 2}, args, nargs, kwnames, out);
        QueryExpr e;
        e.op = QueryExpr::Op::In;
        e.attr = attr_arg(out[0]);
        py::for_each_in_iterable(out[1], "values",
                                 [&](PyObject* item) { e.values.push_back(wrap_value(item)); });
        return wrap_expr(std::move(e));
    });
}

// True when the one argument of `and_`/`or_` is an iterable of operands
// rather than an operand: iterable, and neither an expression nor a str
// (which stays refused as an operand).
bool iterable_operands(PyObject* arg) {
    if (PyObject_TypeCheck(arg, query_expr_type()) || PyUnicode_Check(arg)) return false;
    PyObject* iter = PyObject_GetIter(arg);
    if (iter == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PyErrorSet{};
        PyErr_Clear();
        return false;
    }
    Py_DECREF(iter);
    return true;
}

// `and_(a, b, ...)`, or `and_(iterable)` with one argument that is not an
// expression: its items are the operands.
template <QueryExpr::Op op>
PyObject* combine_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_keywords(op == QueryExpr::Op::And ? "PyQueryExpr.and_" : "PyQueryExpr.or_", kwnames);
        QueryExpr e;
        e.op = op;
        if (nargs == 1 && iterable_operands(args[0])) {
            py::PyRef iter(py::new_ref, PyObject_GetIter(args[0]));
            while (PyObject* item = PyIter_Next(iter.get())) {
                py::PyRef owned(py::steal, item);
                e.exprs.push_back(query_expr_arg(item, "exprs"));
            }
            if (PyErr_Occurred()) throw py::PyErrorSet{};
        } else {
            e.exprs.reserve(static_cast<size_t>(nargs));
            for (Py_ssize_t i = 0; i < nargs; ++i)
                e.exprs.push_back(query_expr_arg(args[i], "exprs"));
        }
        check_depth(e);
        return wrap_expr(std::move(e));
    });
}

// `a & b`, `a | b`: both operands must be expressions; anything else is left
// to the other operand, and then refused by the interpreter with TypeError.
template <QueryExpr::Op op>
PyObject* combine_operator(PyObject* a, PyObject* b) {
    PyTypeObject* type = query_expr_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(a, type) || !PyObject_TypeCheck(b, type)) Py_RETURN_NOTIMPLEMENTED;
    return py::entry([&]() -> PyObject* {
        QueryExpr e;
        e.op = op;
        e.exprs.push_back(query_expr_arg(a, "exprs"));
        e.exprs.push_back(query_expr_arg(b, "exprs"));
        check_depth(e);
        return wrap_expr(std::move(e));
    });
}

// `~a`.
PyObject* invert_operator(PyObject* a) {
    return py::entry([&]() -> PyObject* {
        QueryExpr e;
        e.op = QueryExpr::Op::Not;
        e.exprs.push_back(query_expr_arg(a, "exprs"));
        check_depth(e);
        return wrap_expr(std::move(e));
    });
}

PyObject* not_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument("PyQueryExpr.not_", "exprs", args, nargs, kwnames);
        QueryExpr e;
        e.op = QueryExpr::Op::Not;
        e.exprs.push_back(query_expr_arg(arg, "exprs"));
        check_depth(e);
        return wrap_expr(std::move(e));
    });
}

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef expr_methods[] = {
    CORVANE_FINAL_CLASS_METHODS CORVANE_NO_PICKLE_METHODS{
        "eq", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Eq>), kStatic,
        "eq(attr, value)\n--\n\n"},
    {"ne", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Ne>), kStatic,
     "ne(attr, value)\n--\n\n"},
    {"gt", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Gt>), kStatic,
     "gt(attr, value)\n--\n\n"},
    {"ge", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Ge>), kStatic,
     "ge(attr, value)\n--\n\n"},
    {"le", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Le>), kStatic,
     "le(attr, value)\n--\n\n"},
    {"bt", CORVANE_FASTCALL(bt_factory), kStatic, "bt(attr, lower, upper)\n--\n\n"},
    {"lt", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Lt>), kStatic,
     "lt(attr, value)\n--\n\n"},
    {"in_", CORVANE_FASTCALL(in_factory), kStatic, "in_(attr, values)\n--\n\n"},
    {"startswith", CORVANE_FASTCALL(startswith_factory), kStatic,
     "startswith(attr, prefix)\n--\n\n"},
    {"contains", CORVANE_FASTCALL(contains_factory), kStatic, "contains(attr, value)\n--\n\n"},
    {"and_", CORVANE_FASTCALL(combine_factory<QueryExpr::Op::And>), kStatic,
     "and_(*exprs)\n--\n\n"},
    {"or_", CORVANE_FASTCALL(combine_factory<QueryExpr::Op::Or>), kStatic, "or_(*exprs)\n--\n\n"},
    {"not_", CORVANE_FASTCALL(not_factory), kStatic, "not_(exprs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

QueryExpr query_expr_arg(PyObject* obj, const char* arg) {
    PyTypeObject* type = query_expr_type();
    if (type == nullptr) throw py::PyErrorSet{};
    if (!PyObject_TypeCheck(obj, type)) {
        py::argument_conversion_error(obj, "PyQueryExpr", arg);
    }
    py::SharedUse use(as_expr(obj)->use);
    return as_expr(obj)->expr;
}

PyTypeObject* create_query_expr_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(expr_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(expr_repr)},
        {Py_tp_methods, expr_methods},
        {Py_nb_and, reinterpret_cast<void*>(combine_operator<QueryExpr::Op::And>)},
        {Py_nb_or, reinterpret_cast<void*>(combine_operator<QueryExpr::Op::Or>)},
        {Py_nb_invert, reinterpret_cast<void*>(invert_operator)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane.PyQueryExpr", static_cast<int>(sizeof(QueryExprObject)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return type_from_spec(&spec);
}

}  // namespace corvane
