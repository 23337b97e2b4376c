// Reducing an index in place to the objects matching a keyword filter.
//
// Every value set keeps only the selected ids; the pairs of the selected
// objects' current attributes that are no longer recorded (an assignment
// moved the object after an earlier reduce narrowed its new value's set)
// are entered again.  The range trees and nested indexes are left as they
// are.  Reducing takes the index's maps and then its store for the whole
// operation, and checks and reads every selected object before changing
// anything, so that a refusal or a failure leaves the index as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/attr_list.hpp"
#include "engine/entry.hpp"
#include "engine/keyword_filter.hpp"
#include "engine/record.hpp"
#include "engine/value.hpp"

namespace corvane {

// What reducing reads of the selected objects, through their owner, while it
// holds the index's locks.  Neither call may run Python code or wait for a
// lock; both may throw, which leaves the index unchanged.
class ObjectReader {
public:
    virtual ~ObjectReader() = default;
    // The current attributes of stored object `obj`, or null when they
    // cannot be read now (an assignment to the object is in progress).
    virtual const AttrList* attributes(PyObject* obj) = 0;
    // The entry of `value`, an `Indexable` value of object `id`.
    virtual std::unique_ptr<Entry> nested_entry(uint32_t id, const PyValue& value) = 0;
};

struct ReduceOutcome {
    // A selected object could not be read: nothing changed.
    bool refused = false;
    // Nested objects entered again, to register (see `NestedEntered`); the
    // entries they point at are kept in `nested` until then.
    EnteredList entered;
    std::vector<std::unique_ptr<Entry>> nested;
};

// Reduce `index` to the objects matching `query`.  Fails with an internal
// failure when a selected id has no stored object.
ReduceOutcome reduce_index(IndexAPI& index, const HashQuery& query, ObjectReader& reader);

}  // namespace corvane
