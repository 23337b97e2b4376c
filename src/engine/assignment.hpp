// Assignment: an attribute of an indexed object takes a new value, and every
// index registered on the object follows.
//
// The indexes are updated one at a time, each under its own locks (its maps,
// then its member ids), never two unrelated indexes' at once.  The binding
// reads the new value (and the entry of an `Indexable` value) before, and
// stores it in the object's own list after, under the interpreter lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/attr_list.hpp"
#include "engine/entry.hpp"
#include "engine/record.hpp"
#include "engine/registration.hpp"
#include "engine/value.hpp"

namespace corvane {

// One attribute moving from `old_value` (null when the object had none) to
// `new_value` in object `id`.  `nested` is the entry of an `Indexable` new
// value, kept alive by the caller until the nested objects it entered are
// registered.
struct Assignment {
    uint32_t id;
    const std::string& name;
    const PyValue* old_value;
    const PyValue& new_value;
    const Entry* nested;
};

// What the binding does once an assignment has reached the indexes.
struct AssignOutcome {
    // Nested objects entered on the way, to register (see `NestedEntered`).
    EnteredList entered;
    // Some nested index no longer held the object: its registration can go
    // (see `drop_released`).
    bool left = false;
};

// True when an index records `next` exactly as it records `prev`, so that
// assigning one over the other moves nothing: the very same object, or a
// value of the same classification and the same key that has no range key
// other than `prev`'s (a float of the same bits: 0.0 and -0.0, or two NaNs,
// are one key but sort apart) and no nested object.  Values of other
// classifications (`Indexable`, `Ordered`) and equality-class keys count as
// alike only when they are the same object.
bool records_alike(const PyValue& prev, const PyValue& next) noexcept;

// True when every index of `reached` keeps every member in the value set
// of each of its values (see `IndexAPI::narrowed`): then an assignment of a
// value recorded alike (`records_alike`) needs no work in any of them.
// Nested indexes are never narrowed.  Each top index's flag is read on its
// own, with no lock.
bool sets_complete(const Registrations& reached) noexcept;

// Update every index of `reached`, in order.  A nested index that no longer
// holds the object is passed over and reported in `left`.
AssignOutcome assign_attribute(const Registrations& reached, const Assignment& a);

// After the new value is stored: bring up to date the nested indexes of
// `now` that are not in `reached` (registered while the assignment ran, they
// entered the object as it was before it), adding what they enter to
// `entered`.
void catch_up_assignment(const Registrations& now, const Registrations& reached,
                         const Assignment& a, EnteredList& entered);

// Move the pair of `a` in `index` if the index still holds the object.
// Returns false, changing nothing, when it no longer does.
bool update_if_held(const std::shared_ptr<IndexAPI>& index, const Assignment& a,
                    EnteredList& entered);

// An attribute whose value changed between two readings of an object's
// list: its name, its value in the first (null when it had none) and in
// the second.
struct Changed {
    const AttrName* name;
    const PyValue* old_value;
    const PyValue* value;
};
// The attributes of `now` (names beginning with "_" aside) whose value is
// not the object `before` held.  Attributes are only ever added or
// replaced, so this finds every change.
std::vector<Changed> changed_attributes(const AttrList& before, const AttrList& now);

}  // namespace corvane
