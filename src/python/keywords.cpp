#include "python/keywords.hpp"

#include <utility>
#include <vector>

#include "python/ref.hpp"
#include "python/values.hpp"

namespace corvane {

namespace {
void add_unique(std::vector<PyValue>& values, PyValue v) {
    for (const auto& existing : values)
        if (existing.same_key(v)) return;
    values.push_back(std::move(v));
}
}  // namespace

HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames) {
    HashQuery query;
    if (kwnames == nullptr) return query;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    query.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* obj = values[i];
        std::vector<PyValue> accepted;
        PyTypeObject* type = Py_TYPE(obj);
        // Strings are one value; so are the common scalars, which are known
        // not to be iterable (skipping the failed iterator request saves
        // building an exception on the hot path).
        if (PyUnicode_Check(obj) || type == &PyLong_Type || type == &PyFloat_Type ||
            type == &PyBool_Type || obj == Py_None) {
            accepted.push_back(wrap_value(obj));
        } else {
            PyObject* iter = PyObject_GetIter(obj);
            if (iter == nullptr) {
                PyErr_Clear();
                accepted.push_back(wrap_value(obj));
            } else {
                py::PyRef it(py::steal, iter);
                while (PyObject* item = PyIter_Next(iter)) {
                    py::PyRef owned(py::steal, item);
                    add_unique(accepted, wrap_value(item));
                }
                if (PyErr_Occurred()) throw py::PyErrorSet{};
            }
        }
        query.emplace_back(attribute_name(PyTuple_GET_ITEM(kwnames, i)), std::move(accepted));
    }
    return query;
}

}  // namespace corvane
