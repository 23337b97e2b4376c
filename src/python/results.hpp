// Turning id sets into Python lists of the stored objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "engine/store.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

// A list of the stored objects for `ids`, in ascending id order.  Ids
// without a stored object (removed from the index) are skipped.
PyObject* objects_for_ids(const Store& store, const Bitmap& ids);

// A list of the stored objects for `ids`, in the order given; ids without a
// stored object (removed since a view selected them) are passed over.
PyObject* objects_in_order(const Store& store, const std::vector<uint32_t>& ids);
// How many of `ids` have a stored object: the length of `objects_for_ids`
// without building the list.
Py_ssize_t count_stored(const Store& store, const Bitmap& ids);

// A list of every stored object, in ascending id order.
PyObject* all_objects(const Store& store);

}  // namespace corvane
