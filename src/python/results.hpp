// Turning id sets into Python lists of the stored objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "engine/store.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

// A list of the stored objects for `ids`, in ascending id order.  An id
// without a stored object is an internal failure.
PyObject* objects_for_ids(const Store& store, const Bitmap& ids);

// A list of the stored objects for `ids`, in the order given.  An id
// without a stored object is an internal failure.
PyObject* objects_in_order(const Store& store, const std::vector<uint32_t>& ids);

// A list of every stored object, in ascending id order.
PyObject* all_objects(const Store& store);

}  // namespace corvane
