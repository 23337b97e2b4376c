// The registrations of an indexed object: weak handles to the indexes that
// hold it, so that an assignment to the object reaches every one of them.
//
// The list belongs to the object and is written only by its owner (the
// binding, under the interpreter lock).  Registrations are compared by the
// control block of their weak handle, which needs no lock and stays valid
// after the index is gone.
#pragma once

#include <absl/container/inlined_vector.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/record.hpp"

namespace corvane {

struct IndexMeta {
    std::weak_ptr<IndexAPI> index;
};

// Most objects are held by one index: room for one registration in place
// keeps the object in a smaller size class.
using Registrations = absl::InlinedVector<IndexMeta, 1>;

// True for a nested index (inside an attribute map of another index, or the
// cycle index of a tree of them), which lets an object go when no holder
// refers to it any more: an index of its own has depth 0.
inline bool is_nested(const IndexAPI& index) noexcept { return index.depth != 0; }

// True when `a` and `b` are handles to the same index record.
inline bool same_index(const std::weak_ptr<IndexAPI>& a,
                       const std::weak_ptr<IndexAPI>& b) noexcept {
    return !a.owner_before(b) && !b.owner_before(a);
}

// True when `index` is registered in `regs`.
bool is_registered(const Registrations& regs, const std::weak_ptr<IndexAPI>& index) noexcept;
// Register an index unless it is registered already: append, drop
// registrations whose index is gone, and order the rest by the address of
// their index record.
void add_registration(Registrations& regs, std::weak_ptr<IndexAPI> index);
// Unregister an index (nothing happens if it is not registered).
void remove_registration(Registrations& regs, const std::weak_ptr<IndexAPI>& index) noexcept;
// Drop the registrations of nested indexes that no longer hold object `id`
// (released when its last holder let it go).  Takes each nested index's
// member lock in turn.
void drop_released(Registrations& regs, uint32_t id);
// The depth (see `IndexAPI::depth`) of the deepest index still alive in
// `regs`, 0 when there is none.
size_t deepest_depth(const Registrations& regs) noexcept;

}  // namespace corvane
