#include "index/query_expr.hpp"

#include <new>

#include <absl/strings/string_view.h>

#include "index/query.hpp"
#include "index/types.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"

namespace corvane {

// ---------------------------------------------------------------------------
// Text form.

namespace {
const char* op_name(QueryExpr::Op op) {
    switch (op) {
        case QueryExpr::Op::Eq: return "Eq";
        case QueryExpr::Op::Ne: return "Ne";
        case QueryExpr::Op::Gt: return "Gt";
        case QueryExpr::Op::Ge: return "Ge";
        case QueryExpr::Op::Lt: return "Lt";
        case QueryExpr::Op::Le: return "Le";
        case QueryExpr::Op::Bt: return "Bt";
        case QueryExpr::Op::In: return "In";
        case QueryExpr::Op::Not: return "Not";
        case QueryExpr::Op::And: return "And";
        case QueryExpr::Op::Or: return "Or";
    }
    return "?";
}
}  // namespace

std::string QueryExpr::debug() const {
    std::string out = op_name(op);
    out += "(";
    switch (op) {
        case Op::Eq: case Op::Ne: case Op::Gt: case Op::Ge: case Op::Lt: case Op::Le:
            out += debug_str(attr) + ", " + values[0].debug();
            break;
        case Op::Bt:
            out += debug_str(attr) + ", " + values[0].debug() + ", " + values[1].debug();
            break;
        case Op::In:
            out += debug_str(attr) + ", [";
            for (size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + values[i].debug();
            out += "]";
            break;
        case Op::Not:
            out += exprs[0].debug();
            break;
        case Op::And: case Op::Or:
            out += "[";
            for (size_t i = 0; i < exprs.size(); ++i) out += (i ? ", " : "") + exprs[i].debug();
            out += "]";
            break;
    }
    out += ")";
    return out;
}

// ---------------------------------------------------------------------------
// Evaluation.

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view attr) {
    size_t dot = attr.find('.');
    if (dot == std::string_view::npos) return {attr, std::nullopt};
    return {attr.substr(0, dot), attr.substr(dot + 1)};
}

namespace {

Bitmap range(const QueryMap& map, const Bound& lower, const Bound& upper, const Bitmap& universe) {
    return map.ranged->query_range(lower, upper, universe);
}

// The same comparison on the tail of a dotted path.
QueryExpr with_attr(const QueryExpr& e, std::string_view tail) {
    QueryExpr copy;
    copy.op = e.op;
    copy.attr = std::string(tail);
    copy.values = e.values;
    return copy;
}

[[noreturn]] void not_implemented() { fail("not yet implemented"); }

}  // namespace

Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr) {
    Bitmap nested_ids = reduced_query(map.nested, expr);
    Bitmap result;
    nested_ids.for_each([&](uint32_t nested_id) {
        auto it = map.holders.find(nested_id);
        if (it != map.holders.end()) it->second.or_into(result);
    });
    return result;
}

Bitmap evaluate_query(const AttrMaps& maps, const Bitmap& universe, const QueryExpr& e) {
    using Op = QueryExpr::Op;
    switch (e.op) {
        case Op::Not: {
            Bitmap inner = evaluate_query(maps, universe, e.exprs[0]);
            return universe.andnot(inner);
        }
        case Op::And: {
            Bitmap acc = universe.copy();
            for (const QueryExpr& operand : e.exprs) {
                Bitmap part = evaluate_query(maps, acc, operand);
                acc.and_inplace(part);
                if (acc.empty()) break;
            }
            return acc;
        }
        case Op::Or: {
            Bitmap acc;
            for (const QueryExpr& operand : e.exprs) acc.or_inplace(evaluate_query(maps, universe, operand));
            return acc;
        }
        case Op::Ne: {
            QueryExpr eq;
            eq.op = Op::Eq;
            eq.attr = e.attr;
            eq.values = e.values;
            Bitmap inner = evaluate_query(maps, universe, eq);
            return universe.andnot(inner);
        }
        default:
            break;
    }

    // Comparisons: look the path up first.
    auto [head, tail] = attr_parts(e.attr);
    if (maps.empty()) return Bitmap();
    auto found = maps.find(absl::string_view(head.data(), head.size()));
    if (found == maps.end()) return Bitmap();
    const QueryMap& map = *found->second;
    if (tail) {
        Bitmap holders = evaluate_nested_query(map, with_attr(e, *tail));
        holders.and_inplace(universe);
        return holders;
    }

    switch (e.op) {
        case Op::Eq: {
            auto it = map.exact.find(e.values[0]);
            if (it == map.exact.end()) return Bitmap();
            Bitmap ids = it->second.as_bitmap();
            ids.and_inplace(universe);
            return ids;
        }
        case Op::In: {
            Bitmap ids;
            for (const PyValue& v : e.values) {
                auto it = map.exact.find(v);
                if (it != map.exact.end()) it->second.or_into(ids);
            }
            ids.and_inplace(universe);
            return ids;
        }
        case Op::Gt: case Op::Ge: case Op::Lt: case Op::Le: {
            const PyValue& v = e.values[0];
            switch (v.kind()) {
                case CastValue::Int:
                case CastValue::Float: {
                    RangeValue rv = v.range_value();
                    switch (e.op) {
                        case Op::Gt: return range(map, Bound::excluded(rv), Bound::unbounded(), universe);
                        case Op::Ge: return range(map, Bound::included(rv), Bound::unbounded(), universe);
                        case Op::Lt: return range(map, Bound::unbounded(), Bound::excluded(rv), universe);
                        default: return range(map, Bound::unbounded(), Bound::included(rv), universe);
                    }
                }
                case CastValue::Str:
                case CastValue::Unknown:
                    return Bitmap();
                case CastValue::Ind:
                    not_implemented();
            }
            return Bitmap();
        }
        case Op::Bt: {
            const PyValue& lo = e.values[0];
            const PyValue& hi = e.values[1];
            if (!lo.is_numeric() || !hi.is_numeric()) not_implemented();
            return range(map, Bound::included(lo.range_value()), Bound::included(hi.range_value()),
                         universe);
        }
        default:
            break;
    }
    return Bitmap();
}

Bitmap reduced_query(const IndexAPI& index, const QueryExpr& expr) {
    auto maps = index.attr_maps->read();
    auto members = index.member_ids->read();
    return evaluate_query(*maps, *members, expr);
}

// ---------------------------------------------------------------------------
// The Python class.

namespace {

QueryExprObject* as_expr(PyObject* self) { return reinterpret_cast<QueryExprObject*>(self); }

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
        static const std::string name = std::string("PyQueryExpr.") +
            (op == QueryExpr::Op::Eq ? "eq" : op == QueryExpr::Op::Ne ? "ne"
             : op == QueryExpr::Op::Gt ? "gt" : op == QueryExpr::Op::Ge ? "ge"
             : op == QueryExpr::Op::Lt ? "lt" : "le");
        PyObject* out[2];
        py::match(py::Signature{name.c_str(), params, 2}, args, nargs, kwnames, out);
        QueryExpr e;
        e.op = op;
        e.attr = attr_arg(out[0]);
        e.values.push_back(PyValue::wrap(out[1]));
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
        e.values.push_back(PyValue::wrap(out[1]));
        e.values.push_back(PyValue::wrap(out[2]));
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
        PyObject* seq = out[1];
        try {
            if (PyUnicode_Check(seq)) py::type_error("Can't extract `str` to `Vec`");
            if (!PySequence_Check(seq)) py::conversion_error(seq, "Sequence");
            py::PyRef iter(py::new_ref, PyObject_GetIter(seq));
            while (PyObject* item = PyIter_Next(iter.get())) {
                py::PyRef owned(py::steal, item);
                e.values.push_back(PyValue::wrap(item));
            }
            if (PyErr_Occurred()) throw py::PyErrorSet{};
        } catch (const py::PyErrorSet&) {
            py::rethrow_for_argument("values");
        }
        return wrap_expr(std::move(e));
    });
}

template <QueryExpr::Op op>
PyObject* combine_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_keywords(op == QueryExpr::Op::And ? "PyQueryExpr.and_" : "PyQueryExpr.or_", kwnames);
        QueryExpr e;
        e.op = op;
        e.exprs.reserve(static_cast<size_t>(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) e.exprs.push_back(query_expr_arg(args[i], "exprs"));
        return wrap_expr(std::move(e));
    });
}

PyObject* not_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        PyObject* arg = py::single_argument("PyQueryExpr.not_", "exprs", args, nargs, kwnames);
        QueryExpr e;
        e.op = QueryExpr::Op::Not;
        e.exprs.push_back(query_expr_arg(arg, "exprs"));
        return wrap_expr(std::move(e));
    });
}

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef expr_methods[] = {
    CORVANE_FINAL_CLASS_METHODS
    {"eq", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Eq>), kStatic, "eq(attr, value)\n--\n\n"},
    {"ne", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Ne>), kStatic, "ne(attr, value)\n--\n\n"},
    {"gt", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Gt>), kStatic, "gt(attr, value)\n--\n\n"},
    {"ge", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Ge>), kStatic, "ge(attr, value)\n--\n\n"},
    {"le", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Le>), kStatic, "le(attr, value)\n--\n\n"},
    {"bt", CORVANE_FASTCALL(bt_factory), kStatic, "bt(attr, lower, upper)\n--\n\n"},
    {"lt", CORVANE_FASTCALL(compare_factory<QueryExpr::Op::Lt>), kStatic, "lt(attr, value)\n--\n\n"},
    {"in_", CORVANE_FASTCALL(in_factory), kStatic, "in_(attr, values)\n--\n\n"},
    {"and_", CORVANE_FASTCALL(combine_factory<QueryExpr::Op::And>), kStatic, "and_(*exprs)\n--\n\n"},
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
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane.PyQueryExpr", static_cast<int>(sizeof(QueryExprObject)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return type_from_spec(&spec);
}

}  // namespace corvane
