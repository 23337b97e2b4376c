// `FilteredIndex`: a fixed selection of ids laid over the live attribute maps
// and object store of the index it came from.  Narrowing it returns a new
// view; `collect` lists its objects; `rebase` rebuilds it into a new,
// independent `Index`.
#pragma once

#include <Python.h>

#include "engine/record.hpp"
#include "python/use.hpp"
#include "structures/bitmap.hpp"

namespace corvane {

struct FilteredIndexObject {
    PyObject_HEAD py::UseCounter use;
    SharedMaps attr_maps;
    SharedStore items;
    Bitmap member_ids;
    // The owner object of `items` (see `StoreOwnerObject`), or null.
    PyObject* store_owner;
};

// A new view object over `maps` and `items` selecting `ids`; `store_owner`
// is the owner object of `items` (borrowed; may be null).
PyObject* new_filtered_index(SharedMaps maps, SharedStore items, Bitmap ids, PyObject* store_owner);

}  // namespace corvane
