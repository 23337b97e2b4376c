// The one Python object that reports the objects of a store to the cyclic
// collector.  The `Index` whose record holds the store and every view of
// that store hold a strong reference to it: while any of them is reachable,
// so is the owner and through it every stored object, and when all of them
// are garbage, cycles through the store (an object referring to an index or
// view that holds it) are found and freed.
#pragma once

#include <Python.h>

#include "engine/record.hpp"

namespace corvane {

struct StoreOwnerObject {
    PyObject_HEAD SharedStore items;
};

// tp_traverse of the classes that hold a store's owner (`Index`,
// `FilteredIndex`): they report the owner and their class, nothing else.
template <class Object>
int traverse_store_owner(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Object*>(self)->store_owner);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// A new owner object for `items`.
PyObject* new_store_owner(SharedStore items);
PyTypeObject* create_store_owner_type();

}  // namespace corvane
