#include "python/keywords.hpp"

#include <absl/container/flat_hash_set.h>

#include <utility>
#include <vector>

#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/types.hpp"
#include "python/values.hpp"

namespace corvane {

namespace {

// The accepted values of one keyword, in the order given, each key once.
// The positions already taken are kept in a hash set keyed by the values
// they point at, so that de-duplicating n values takes linear time.
class UniqueValues {
public:
    UniqueValues() : seen_(0, Hash{&values_}, Eq{&values_}) {}

    void add(PyValue v) {
        values_.push_back(std::move(v));
        if (!seen_.insert(values_.size() - 1).second) values_.pop_back();
    }
    std::vector<PyValue> take() { return std::move(values_); }

private:
    struct Hash {
        const std::vector<PyValue>* values;
        size_t operator()(size_t i) const noexcept { return PyValueHash{}((*values)[i]); }
    };
    struct Eq {
        const std::vector<PyValue>* values;
        bool operator()(size_t a, size_t b) const noexcept {
            return (*values)[a].same_key((*values)[b]);
        }
    };
    std::vector<PyValue> values_;
    absl::flat_hash_set<size_t, Hash, Eq> seen_;
};

// A query expression given as a value to look up would match nothing, in
// silence: it is refused, pointing at the call that takes expressions.
void refuse_expression(PyObject* obj, PyObject* name) {
    if (!PyObject_TypeCheck(obj, query_expr_type())) return;
    PyErr_Format(PyExc_TypeError,
                 "argument '%U': a PyQueryExpr is not an attribute value; "
                 "select by expression with reduced_query()",
                 name);
    throw py::PyErrorSet{};
}

}  // namespace

HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames) {
    HashQuery query;
    if (kwnames == nullptr) return query;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    query.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* obj = values[i];
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        std::vector<PyValue> accepted;
        PyTypeObject* type = Py_TYPE(obj);
        // Strings are one value; so are the common scalars, which are known
        // not to be iterable (skipping the failed iterator request saves
        // building an exception on the hot path).
        if (PyUnicode_Check(obj) || type == &PyLong_Type || type == &PyFloat_Type ||
            type == &PyBool_Type || obj == Py_None) {
            accepted.push_back(wrap_value(obj));
        } else {
            refuse_expression(obj, name);
            PyObject* iter = PyObject_GetIter(obj);
            if (iter == nullptr) {
                PyErr_Clear();
                accepted.push_back(wrap_value(obj));
            } else {
                py::PyRef it(py::steal, iter);
                UniqueValues unique;
                while (PyObject* item = PyIter_Next(iter)) {
                    py::PyRef owned(py::steal, item);
                    refuse_expression(item, name);
                    unique.add(wrap_value(item));
                }
                if (PyErr_Occurred()) throw py::PyErrorSet{};
                accepted = unique.take();
            }
        }
        query.emplace_back(attribute_name(name), std::move(accepted));
    }
    return query;
}

}  // namespace corvane
