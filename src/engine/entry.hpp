// One object about to be entered into an index.
//
// The binding reads an object into an `Entry` while it holds the interpreter
// lock, so that entering it needs no Python call.  `attrs` points either at
// `owned` or at the attribute list of an object the caller holds in
// exclusive use for the whole operation.  For every attribute whose value is
// an `Indexable`, `nested` has the entry of that object, or null when that
// object is already being entered higher up the same chain (a reference
// cycle), in which case it is recorded but not entered again.
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

    // The entry of the `Indexable` value at position `attr_index`, or null.
    const Entry* nested_for(size_t attr_index) const noexcept {
        for (const auto& [i, e] : nested)
            if (i == attr_index) return e.get();
        return nullptr;
    }
};

}  // namespace corvane
