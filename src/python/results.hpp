// Turning id sets into Python lists of the stored objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "engine/locked.hpp"
#include "engine/store.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

// A list of the stored objects for `ids`, in ascending id order.  Ids
// without a stored object (removed from the index) are skipped.
PyObject* objects_for_ids(const Locked<Store>& store, const Bitmap& ids);

// A new list of `objects` (borrowed, `n` of them), in their order.
PyObject* list_of(PyObject* const* objects, size_t n);
PyObject* list_of(const std::vector<PyObject*>& objects);

}  // namespace corvane
