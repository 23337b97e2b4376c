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
