#include "python/types.hpp"

#include <cstring>
#include <string>

#include "python/errors.hpp"

namespace corvane {

namespace {
template <PyTypeObject* (*Create)()>
PyTypeObject* cached() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = Create();
    return type;
}
}  // namespace

PyTypeObject* index_type() { return cached<create_index_type>(); }
PyTypeObject* indexable_type() { return cached<create_indexable_type>(); }
PyTypeObject* filtered_index_type() { return cached<create_filtered_index_type>(); }
PyTypeObject* query_expr_type() { return cached<create_query_expr_type>(); }
PyTypeObject* store_owner_type() { return cached<create_store_owner_type>(); }

PyTypeObject* type_from_spec(PyType_Spec* spec) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030A0000
    // CPython 3.9 keeps only the part of Py_tp_doc after the signature line,
    // so the class has no __text_signature__.  Put the whole text back, as
    // later versions keep it; __doc__ does not change (it is the type's dict
    // entry).  The type frees tp_doc with PyObject_Free.
    for (PyType_Slot* slot = spec->slots; type != nullptr && slot->slot != 0; ++slot) {
        if (slot->slot != Py_tp_doc || slot->pfunc == nullptr) continue;
        const char* doc = static_cast<const char*>(slot->pfunc);
        size_t size = std::strlen(doc) + 1;
        auto* copy = static_cast<char*>(PyObject_Malloc(size));
        if (copy == nullptr) break;  // the stripped text stays
        std::memcpy(copy, doc, size);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = copy;
    }
#endif
    return type;
}

#ifdef PYPY_VERSION
PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
    // Name the final class the new class derives from.
    PyTypeObject* finals[] = {index_type(), filtered_index_type(), query_expr_type()};
    const char* name = "Index";
    for (PyTypeObject* f : finals)
        if (f != nullptr && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), f)) {
            name = f->tp_name;
            if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
        }
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", name);
    return nullptr;
}
#endif

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    const char* name = type->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    std::string msg = std::string("No constructor defined for ") + name;
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return nullptr;
}

PyObject* class_getitem(PyObject* cls, PyObject* item) { return Py_GenericAlias(cls, item); }

PyObject* refuse_pickle(PyObject* self, PyObject*) {
    // CPython names the class "Corvane.Name" in tp_name; PyPy gives the bare name.
    const char* name = Py_TYPE(self)->tp_name;
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s%s' object",
                 std::strchr(name, '.') ? "" : "Corvane.", name);
    return nullptr;
}

}  // namespace corvane
