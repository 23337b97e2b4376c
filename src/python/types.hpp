// The module's class objects, created on first use and kept for the life of
// the process.  `indexable_type()` is the cached `Indexable` class that value
// wrapping uses to recognise indexed objects (subclasses included).
#pragma once

#include <Python.h>

namespace corvane {

// Each returns a borrowed reference, creating the class on first call; null
// with a Python error set when creation fails.
PyTypeObject* index_type();
PyTypeObject* indexable_type();
PyTypeObject* filtered_index_type();
PyTypeObject* query_expr_type();
PyTypeObject* store_owner_type();

// Builders, one per class file.
PyTypeObject* create_index_type();
PyTypeObject* create_indexable_type();
PyTypeObject* create_filtered_index_type();
PyTypeObject* create_query_expr_type();
PyTypeObject* create_store_owner_type();

// Create a class from its spec (named "Corvane.Name": the class's __name__
// is the bare name and its __module__ is "Corvane").  Null with an error set
// on failure.
PyTypeObject* type_from_spec(PyType_Spec* spec);

// PyPy does not refuse Python subclasses of native classes that lack the
// base-type flag, so the final classes refuse them in __init_subclass__ there.
#ifdef PYPY_VERSION
PyObject* refuse_subclass(PyObject* cls, PyObject* args, PyObject* kwargs);
#define CORVANE_FINAL_CLASS_METHODS                                                \
    {"__init_subclass__",                                                          \
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)), \
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
#else
#define CORVANE_FINAL_CLASS_METHODS
#endif

// tp_new for the classes that cannot be instantiated from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Index and FilteredIndex are generic over the class of the objects they hold
// (in the stubs), so `Index[Order]` must also work at run time, in annotations
// that are evaluated and in `Index[Order]()`: the class with its argument, as
// a types.GenericAlias, the way the built-in containers answer.
PyObject* class_getitem(PyObject* cls, PyObject* item);
#define CORVANE_GENERIC_CLASS_METHODS                                  \
    {"__class_getitem__", corvane::class_getitem, METH_O | METH_CLASS, \
     "__class_getitem__($cls, item, /)\n--\n\n"},

// Index, FilteredIndex and PyQueryExpr are neither copied nor pickled: an
// index holds its objects and maps natively, which no pickle state carries,
// so `__reduce_ex__` and `__reduce__` refuse with the TypeError CPython's
// default gives such classes ("cannot pickle 'Corvane.Index' object").
// PyPy's default would build an empty object instead; refusing here makes
// `copy.copy`, `copy.deepcopy` and `pickle` fail alike on both.
PyObject* refuse_pickle(PyObject* self, PyObject* unused);
#define CORVANE_NO_PICKLE_METHODS                     \
    {"__reduce_ex__", corvane::refuse_pickle, METH_O, \
     "__reduce_ex__($self, protocol, /)\n--\n\n"},    \
        {"__reduce__", corvane::refuse_pickle, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},

}  // namespace corvane
