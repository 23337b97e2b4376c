// `Indexable`: the base class of objects that indexes hold and keep current.
//
// An instance stores its attributes natively (names and values' objects, in
// assignment order; see `StoredAttrs`) instead of in an instance dictionary, carries an object
// id drawn once from a process-wide counter, and keeps weak registrations of
// the indexes that hold it, so that an assignment reaches all of them.
//
// The attribute list is written only while holding both the interpreter lock
// and exclusive use of the object.  Any thread holding the interpreter lock
// may therefore read it, and a thread holding exclusive use may read it
// without the interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/record.hpp"
#include "engine/registration.hpp"
#include "engine/value.hpp"
#include "python/stored_attrs.hpp"
#include "python/types.hpp"
#include "python/use.hpp"

namespace corvane {

struct IndexableState {
    // First, so that a read finds the attributes kept in place right after
    // the object's header.
    StoredAttrs attributes;
    // The indexes holding the object (see `Registrations`).
    Registrations indexes;
    uint32_t id = 0;
    py::UseCounter use;
};

struct IndexableObject {
    PyObject_HEAD IndexableState state;
    PyObject* weaklist;
};

inline IndexableState& indexable_state(PyObject* obj) noexcept {
    return reinterpret_cast<IndexableObject*>(obj)->state;
}
inline uint32_t indexable_id(PyObject* obj) noexcept { return indexable_state(obj).id; }
inline bool is_indexable(PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, indexable_type());
}

// Register the nested objects an engine operation reported with the nested
// indexes that now hold them.  An object whose values changed between its
// reading and its registration (an assignment that could not reach the
// nested index yet) is moved there to its current values, which may enter
// and report further objects: the list is worked off until empty.
// Requires the interpreter lock; the entries the list points at must still
// be alive.
void register_entered(EnteredList& entered);

// The process-wide id counter; the first object gets id 1.
extern std::atomic<uint64_t> GLOBAL_ID_COUNTER;

}  // namespace corvane
