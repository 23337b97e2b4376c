// The module entry point.
//
// `PyInit_Corvane` builds the module once per process and caches it: the
// function `sum_as_string`, then the classes `Index`, `Indexable`,
// `FilteredIndex` and `PyQueryExpr`, each name appended to `__all__` before
// the attribute is set.
#include <Python.h>

#include <cstdint>
#include <string>

#include "index/types.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"

namespace {

using namespace corvane;

PyObject* cached_module = nullptr;

uint64_t u64_arg(PyObject* obj, const char* arg) {
    PyObject* number = PyNumber_Index(obj);
    if (number == nullptr) py::rethrow_for_argument(arg);
    py::PyRef owned(py::steal, number);
    unsigned long long v = PyLong_AsUnsignedLongLong(number);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) py::rethrow_for_argument(arg);
    return v;
}

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        static const char* const params[] = {"a", "b"};
        PyObject* out[2];
        py::match(py::Signature{"sum_as_string", params, 2}, args, nargs, kwnames, out);
        uint64_t a = u64_arg(out[0], "a");
        uint64_t b = u64_arg(out[1], "b");
        std::string text = std::to_string(a + b);  // wraps modulo 2^64
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyMethodDef sum_def = {
    "sum_as_string", CORVANE_FASTCALL(sum_as_string),
    METH_FASTCALL | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "Corvane",
    "In-memory attribute indexes over live Python objects.", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr};

// Append `name` to `__all__` (creating it on first use), then set the
// attribute.  Steals `value`.
bool add_export(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            Py_DECREF(value);
            return false;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    bool appended = text != nullptr && PyList_Check(all) && PyList_Append(all, text) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (!appended) {
        Py_DECREF(value);
        py::raise_panic(InternalFailure("could not append __name__ to __all__"));
        return false;
    }
    int rc = PyModule_AddObject(module, name, value);
    if (rc < 0) Py_DECREF(value);
    return rc == 0;
}

PyObject* type_ref(PyTypeObject* type) {
    if (type == nullptr) return nullptr;
    Py_INCREF(type);
    return reinterpret_cast<PyObject*>(type);
}

}  // namespace

PyMODINIT_FUNC PyInit_Corvane(void) {
    if (cached_module != nullptr) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    bool ok = add_export(module, "sum_as_string", PyCFunction_NewEx(&sum_def, module, nullptr)) &&
              add_export(module, "Index", type_ref(index_type())) &&
              add_export(module, "Indexable", type_ref(indexable_type())) &&
              add_export(module, "FilteredIndex", type_ref(filtered_index_type())) &&
              add_export(module, "PyQueryExpr", type_ref(query_expr_type()));
    // Not exported through __all__: the internal-failure exception class, so
    // that callers can catch it by name, and the package version.
    if (ok) {
        PyObject* panic = py::panic_exception_type();
        Py_XINCREF(panic);
        ok = panic != nullptr && PyModule_AddObject(module, "PanicException", panic) == 0;
        if (!ok) Py_XDECREF(panic);
    }
    if (ok) ok = PyModule_AddStringConstant(module, "__version__", CORVANE_VERSION) == 0;
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    Py_INCREF(module);
    cached_module = module;
    return module;
}
