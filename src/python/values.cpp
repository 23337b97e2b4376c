#include "python/values.hpp"

#include <cstdint>
#include <string_view>

#include "python/indexable.hpp"
#include "python/ref.hpp"

namespace corvane {

PyValue wrap_value(PyObject* obj) {
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        h = 0;
    }
    uint64_t hash = static_cast<uint64_t>(h);
    SharedRef handle = py::share(obj);
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyLong_Type) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(obj, &overflow);
        bool fits = overflow == 0 && !(x == -1 && PyErr_Occurred());
        PyErr_Clear();
        if (fits) return PyValue::of_int(std::move(handle), x, hash);
    } else if (type == &PyFloat_Type) {
        return PyValue::of_float(std::move(handle), PyFloat_AS_DOUBLE(obj), hash);
    } else if (type == &PyUnicode_Type) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
        PyErr_Clear();
        if (s != nullptr && len <= static_cast<Py_ssize_t>(UINT32_MAX))
            return PyValue::of_str(std::move(handle), std::string_view(s, static_cast<size_t>(len)),
                                   hash);
    } else if (PyType_IsSubtype(type, indexable_type())) {
        return PyValue::of_indexable(std::move(handle), indexable_id(obj), hash);
    }
    return PyValue::of_other(std::move(handle), hash);
}

std::string attribute_name(PyObject* name) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &len);
    if (s != nullptr) return std::string(s, static_cast<size_t>(len));
    // Only lone surrogates keep a str from encoding.  Passing them through
    // gives byte sequences that valid UTF-8 never contains, so every name
    // keeps bytes of its own; `Indexable.__dir__` decodes them back the same
    // way.
    PyErr_Clear();
    py::PyRef bytes(py::new_ref, PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace corvane
