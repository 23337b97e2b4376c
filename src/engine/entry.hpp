// One object about to be entered into an index.
//
// The binding reads an object into an `Entry` while it holds the interpreter
// lock, so that entering it needs no Python call.  `attrs` points either at
// `owned` or at the attribute list of an object the caller holds in
// exclusive use for the whole operation.  A batch keeps an entry per object
// until it is entered, so an entry stays small: the copied list is boxed
// (most entries of a batch point at their object's own list), and one
// nested entry, the usual number, needs no block of its own.  For every attribute whose value is
// an `Indexable`, `nested` has the entry of that object.  Each object is read
// once into a tree of entries: met again (higher up the same chain, a
// reference cycle, or on another branch), its nested entry is a loop to the
// entry read for it (see `NestedEntry`).  A batch reads each nested object
// once for all its trees.
#pragma once

#include <absl/container/inlined_vector.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/attr_list.hpp"
#include "engine/store.hpp"
#include "engine/value.hpp"

namespace corvane {

struct Entry;

// The entry of a nested object: owned by the entry holding it, or, for a
// loop (see above), the entry read for the same object elsewhere, owned by
// the same tree of entries, by the caller (its root) or by another tree of
// the same batch.  A loop costs no entry of its own.
class NestedEntry {
public:
    NestedEntry(std::unique_ptr<Entry> owned) noexcept
        : bits_(reinterpret_cast<uintptr_t>(owned.release()) | kOwned) {}
    static NestedEntry loop(const Entry* to) noexcept {
        NestedEntry n;
        n.bits_ = reinterpret_cast<uintptr_t>(to);
        return n;
    }
    NestedEntry(NestedEntry&& o) noexcept : bits_(std::exchange(o.bits_, 0)) {}
    NestedEntry& operator=(NestedEntry&& o) noexcept {
        if (this != &o) {
            reset();
            bits_ = std::exchange(o.bits_, 0);
        }
        return *this;
    }
    NestedEntry(const NestedEntry&) = delete;
    NestedEntry& operator=(const NestedEntry&) = delete;
    ~NestedEntry() { reset(); }

    // The entry holding the object's attributes.
    const Entry* get() const noexcept { return reinterpret_cast<const Entry*>(bits_ & ~kOwned); }
    bool is_loop() const noexcept { return (bits_ & kOwned) == 0; }

private:
    static constexpr uintptr_t kOwned = 1;  // entries are aligned: the low bit is free
    NestedEntry() = default;
    inline void reset() noexcept;

    uintptr_t bits_ = 0;
};

struct Entry {
    uint32_t id = 0;
    // Another entry of its tree is a loop to this one (a reference cycle
    // back to the object): its values may be entered beyond its own maps.
    bool looped_to = false;
    StoredItem item;
    const AttrList* attrs = nullptr;
    std::unique_ptr<AttrList> owned;
    absl::InlinedVector<std::pair<size_t, NestedEntry>, 1> nested;

    // `owned`, made empty if there is none, and pointed at by `attrs`.
    AttrList& own() {
        if (!owned) owned = std::make_unique<AttrList>();
        attrs = owned.get();
        return *owned;
    }

    // The entry of the `Indexable` value at position `attr_index` (for a
    // loop, the entry it leads to), or null.
    const Entry* nested_for(size_t attr_index) const noexcept {
        for (const auto& [i, e] : nested)
            if (i == attr_index) return e.get();
        return nullptr;
    }
};

void NestedEntry::reset() noexcept {
    if ((bits_ & kOwned) != 0) delete get();
    bits_ = 0;
}

}  // namespace corvane
