// The module entry point.
//
// `PyInit_Corvane` builds the module once per process and caches it: the
// function `sum_as_string`, then the classes `Index`, `Indexable`,
// `FilteredIndex` and `PyQueryExpr`, each name appended to `__all__` before
// the attribute is set; then, outside `__all__`, `PanicException`, the
// contention functions and `__version__`.
#include <Python.h>

#include <cstdint>
#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/contention.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/types.hpp"
#include "python/validate.hpp"
#include "python/values.hpp"

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

PyMethodDef sum_def = {"sum_as_string", CORVANE_FASTCALL(sum_as_string),
                       METH_FASTCALL | METH_KEYWORDS,
                       "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "Corvane",
                          "In-memory attribute indexes over live Python objects.",
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

void add_attribute(PyObject* module, const char* name, py::PyRef value);

// Append `name` to `__all__` (creating it on first use), then set the
// attribute to `value`.  Throws `PyErrorSet` on failure.
void add_export(PyObject* module, const char* name, py::PyRef value) {
    py::PyRef all(py::steal, PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = py::PyRef(py::new_ref, PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw py::PyErrorSet{};
    }
    py::PyRef text(py::new_ref, PyUnicode_FromString(name));
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        throw InternalFailure("could not append __name__ to __all__");
    }
    add_attribute(module, name, std::move(value));
}

// Set a module attribute, handing `value` over to the module.
void add_attribute(PyObject* module, const char* name, py::PyRef value) {
    if (PyModule_AddObject(module, name, value.get()) < 0) throw py::PyErrorSet{};
    value.release();  // the module took it
}

// A new reference to a class object; null means creating it failed.
py::PyRef type_ref(PyTypeObject* type) {
    if (type == nullptr) throw py::PyErrorSet{};
    return py::PyRef(py::borrow, reinterpret_cast<PyObject*>(type));
}

}  // namespace

PyMODINIT_FUNC PyInit_Corvane(void) {
    if (cached_module != nullptr) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    py::install_interpreter_hooks();
    install_value_hooks();
    py::PyRef module(py::steal, PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* done = py::entry([&]() -> PyObject* {
        PyObject* m = module.get();
        add_export(m, "sum_as_string",
                   py::PyRef(py::new_ref, PyCFunction_NewEx(&sum_def, m, nullptr)));
        add_export(m, "Index", type_ref(index_type()));
        add_export(m, "Indexable", type_ref(indexable_type()));
        add_export(m, "FilteredIndex", type_ref(filtered_index_type()));
        add_export(m, "PyQueryExpr", type_ref(query_expr_type()));

        // Not exported through __all__: the internal-failure exception class,
        // so that callers can catch it by name, and the package version.
        PyObject* panic = py::panic_exception_type();
        if (panic == nullptr) throw py::PyErrorSet{};
        add_attribute(m, "PanicException", py::PyRef(py::borrow, panic));
        // The contention mode's two functions stay out of `__all__` too.
        add_attribute(
            m, "set_contention",
            py::PyRef(py::new_ref, PyCFunction_NewEx(&py::set_contention_def, m, nullptr)));
        add_attribute(
            m, "get_contention",
            py::PyRef(py::new_ref, PyCFunction_NewEx(&py::get_contention_def, m, nullptr)));
        if (PyModule_AddStringConstant(m, "__version__", CORVANE_VERSION) < 0)
            throw py::PyErrorSet{};
        add_validate(m);
        return m;
    });
    if (done == nullptr) return nullptr;
    cached_module = py::PyRef(py::borrow, module.get()).release();
    return module.release();
}
