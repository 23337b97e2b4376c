#include "python/store_owner.hpp"

#include <utility>

#include "engine/stored.hpp"
#include "python/ref.hpp"
#include "python/types.hpp"

namespace corvane {

// Cyclic garbage collection of indexes and views.
//
// An object that refers to an index or a view holding it (`o.index = idx;
// idx.add_object(o)`, `o.view = idx.reduced(...)`) forms a cycle through the
// store.  Every strong reference must be reported by exactly one holder, and
// by the same holder in every pass of one collection: reporting a reference
// twice, or in one pass and not the next, would let the collector free
// objects that are still reachable.  Hence:
// * the objects of a store are reported by its owner object alone, which
//   every index and view of that store refers to;
// * every handle in a store is a reference of its own, never shared with
//   another store;
// * a store changes only while the interpreter lock is held, which the
//   collector holds for the whole of a collection;
// * attribute values that the maps keep as keys are reported by the objects
//   whose attributes they are, never by the index.  Stores of nested
//   objects inside the maps are not reported: engine threads change them
//   without the interpreter lock.

namespace {

StoreOwnerObject* as_owner(PyObject* self) { return reinterpret_cast<StoreOwnerObject*>(self); }

int store_owner_traverse(PyObject* self, visitproc visit, void* arg) {
    if (const SharedStore& items = as_owner(self)->items) {
        int failed = visit_stored_unlocked(*items, [&](PyObject* obj) { return visit(obj, arg); });
        if (failed != 0) return failed;
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Dropping the owner's handle frees nothing while an index or view still
// holds the store; clearing those drops the rest.
int store_owner_clear(PyObject* self) {
    SharedStore doomed = std::move(as_owner(self)->items);
    return 0;
}

void store_owner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_owner(self)->items.~SharedStore();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

PyObject* new_store_owner(SharedStore items) {
    PyTypeObject* type = store_owner_type();
    if (type == nullptr) throw py::PyErrorSet{};
    py::PyRef self(py::new_ref, type->tp_alloc(type, 0));
    new (&as_owner(self.get())->items) SharedStore(std::move(items));
    return self.release();
}

PyTypeObject* create_store_owner_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(store_owner_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(store_owner_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(store_owner_clear)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane._StoreOwner", static_cast<int>(sizeof(StoreOwnerObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return type_from_spec(&spec);
}

}  // namespace corvane
