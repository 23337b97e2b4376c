// One object about to be entered into an index.
//
// The binding reads an object into an `Entry` while it holds the interpreter
// lock, so that entering it needs no Python call.  `attrs` points either at
// `owned` or at the attribute list of an object the caller holds in
// exclusive use for the whole operation.  For every attribute whose value is
// an `Indexable`, `nested` has the entry of that object.  Each object is read
// once into a tree of entries: met again (higher up the same chain, a
// reference cycle, or on another branch), its nested entry is a loop, with
// only the object's id and `loop_to`, the entry read for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/attr_list.hpp"
#include "engine/store.hpp"
#include "engine/value.hpp"

namespace corvane {

struct Entry {
    uint32_t id = 0;
    StoredItem item;
    const AttrList* attrs = nullptr;
    AttrList owned;
    std::vector<std::pair<size_t, std::unique_ptr<Entry>>> nested;
    // Set on a loop (see above): the entry read for the same object, owned
    // by the same tree of entries (or by the caller, for its root).
    const Entry* loop_to = nullptr;

    // The entry that holds this object's attributes: itself, or for a loop
    // the one it leads to.
    const Entry& resolved() const noexcept { return loop_to != nullptr ? *loop_to : *this; }

    // The entry of the `Indexable` value at position `attr_index`, or null.
    const Entry* nested_for(size_t attr_index) const noexcept {
        for (const auto& [i, e] : nested)
            if (i == attr_index) return e.get();
        return nullptr;
    }
};

}  // namespace corvane
