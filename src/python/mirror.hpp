// Attribute reads answered by PyPy itself.
//
// On PyPy every call into a native slot crosses its C-API emulation, which
// costs an attribute read about ten times what a plain object's read costs.
// PyPy gives every `Indexable` an instance dict of its own, laid out and
// read by its JIT like a plain object's: the stored attributes are copied
// into it (the mirror), and a subclass whose instances keep one reads
// through `object.__getattribute__`, which finds them there without leaving
// PyPy.  `Indexable` itself keeps the native read (PyPy goes on reading the
// instances of a native class the way it first read them, so the class
// could not switch back when it had to).
//
// The object's own list stays the record that indexes, `__getstate__` and
// `__dict__` read; the mirror only answers reads.  Both change together,
// under the interpreter lock with no Python code run between the two
// stores, once the indexes hold the new value: a reader sees the old value
// in both or the new one in both.
//
// A class keeps its native read (the slot that looks the stored list up
// first) when a data descriptor of its own or of a base would answer
// before the instance dict does: a property, a `__slots__` member, or a
// stored name such as `__class__` that the interpreter's own descriptors
// answer.  Such a class reads as on CPython, and its objects keep no mirror.
//
// CPython does not use any of this: its native read is already near a plain
// object's, and the mirror would only cost memory and writes there.
#pragma once

#include <Python.h>

#ifdef PYPY_VERSION

#include "engine/attr_name.hpp"
#include "python/stored_attrs.hpp"

namespace corvane {

// Prepare the mirrors of the subclasses of `indexable` (the class just
// created).  Null-safe: returns false with a Python error set on failure.
bool install_mirrored_reads(PyTypeObject* indexable);

// Whether objects of `type` keep a mirror; decided on the first call for a
// class (which then reads natively if it needs to).  Raises `PyErrorSet`.
bool keeps_mirror(PyTypeObject* type);

// Copy the stored `value` of `name` into the mirror of `self`, an object of
// a class that keeps one.  Never fails: when the copy cannot be made, the
// class reads natively from then on.
void mirror_attribute(PyObject* self, const AttrName& name, PyObject* value) noexcept;

// The same for every attribute of `attrs` (a new object's).
void mirror_attributes(PyObject* self, const StoredAttrs& attrs) noexcept;

}  // namespace corvane

#endif
