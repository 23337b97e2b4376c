// The Python class `Index`.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/record.hpp"
#include "python/use.hpp"

namespace corvane {

// `store_owner` reports the objects of the store to the cyclic collector
// (see store_owner.hpp); null after the collector has cleared the index.
struct IndexObject {
    PyObject_HEAD py::UseCounter use;
    std::shared_ptr<IndexAPI> api;
    PyObject* store_owner;
    PyObject* weaklist;
};

// Wrap an engine record into a new `Index` object.
PyObject* new_index_object(std::shared_ptr<IndexAPI> api);

}  // namespace corvane
