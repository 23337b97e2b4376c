// The object store of an index.
//
// Slot `i` holds the object whose id is `i`, or nothing.  The store is dense
// by id: it grows to one past the largest id stored and never shrinks.  A
// `StoredItem` is a shared handle to one strong reference to the object, so
// readers can keep an object while the store lock is released.
#pragma once

#include <cstdint>
#include <vector>

#include "python/ref.hpp"

namespace corvane {

using StoredItem = py::SharedRef;

struct Store {
    std::vector<StoredItem> slots;

    void put(uint32_t id, StoredItem item) {
        if (slots.size() <= id) slots.resize(static_cast<size_t>(id) + 1);
        slots[id] = std::move(item);
    }
    // The object in slot `id`, or null when the slot is empty or past the end.
    PyObject* get(uint32_t id) const noexcept {
        return id < slots.size() ? slots[id].get() : nullptr;
    }
    const StoredItem* find(uint32_t id) const noexcept {
        return id < slots.size() && slots[id] ? &slots[id] : nullptr;
    }
};

}  // namespace corvane
