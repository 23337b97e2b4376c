// The object store of an index.
//
// Slot `i` holds the object whose id is `i`, or nothing.  The store is dense
// by id: it grows to one past the largest id stored and never shrinks.  A
// `StoredItem` is a shared handle to one strong reference to the object, so
// that engine threads can store and drop it without the interpreter lock
// (nested indexes are filled that way).  A handle belongs to one store only:
// the collector is told of each stored reference once.  Each slot
// also caches the object pointer itself, so that turning ids into objects
// (the last step of every query) reads one array and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/handle.hpp"

namespace corvane {

using StoredItem = SharedRef;

class Store {
public:
    size_t size() const noexcept { return slots_.size(); }

    // Make room for ids below `n`.
    void grow(size_t n) {
        if (slots_.size() < n) slots_.resize(n);
    }

    // Put `item` into slot `id`, growing the store and releasing any item
    // the slot held.
    void put(uint32_t id, StoredItem item) {
        grow(static_cast<size_t>(id) + 1);
        Slot& slot = slots_[id];
        slot.obj = item.get();
        slot.item = std::move(item);
    }

    // The object in slot `id`, or null when the slot is empty or past the end.
    PyObject* get(uint32_t id) const noexcept {
        return id < slots_.size() ? slots_[id].obj : nullptr;
    }
    // Ask for slot `id` ahead of reading it.
    void prefetch(uint32_t id) const noexcept {
        if (id < slots_.size()) __builtin_prefetch(&slots_[id], 0, 3);
    }

    // Call f(obj) for every stored object in ascending id order.
    template <class F>
    void for_each(F&& f) const {
        for (const Slot& slot : slots_)
            if (slot.obj) f(slot.obj);
    }

private:
    struct Slot {
        PyObject* obj = nullptr;
        StoredItem item;
    };
    std::vector<Slot> slots_;
};

}  // namespace corvane
