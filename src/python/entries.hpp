// Reading `Indexable` objects into engine entries.
#pragma once

#include <Python.h>

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/entry.hpp"

namespace corvane {

// How deep entries may nest: reading an object whose `Indexable` values
// nest deeper raises RecursionError (so may a shallower one, when the
// interpreter's recursion limit is reached first).  Entering and dropping a
// nested index take a few hundred bytes of stack per level, so this depth
// stays near 1 MiB, well inside the 8 MiB of a default thread stack.
inline constexpr size_t kMaxNestingDepth = 4000;

// Build the entry of an indexed object.  Requires the interpreter lock.
// The entry holds the object's attributes read as engine values (see
// `read_attributes`): every one when `whole` (as the object lists them),
// else names beginning with "_" only with `include_hidden`.  `path` holds the ids of the
// objects being entered above this one without an entry read here (the
// holder of an assigned value), which are read in full when met: each
// object is read once, and met again it is a loop (see `NestedEntry`).  Raises RecursionError
// (as `PyErrorSet`) when the nesting is too deep; nothing is entered then. `base`: the depth (see
// `IndexAPI::depth`) of the deepest index the entry is for, which counts toward the maximum depth.
std::unique_ptr<Entry> make_entry(PyObject* indexable, bool whole, bool include_hidden,
                                  std::vector<uint32_t>& path, size_t base = 0);
// The same, filling an entry the caller owns.
void fill_entry(Entry& entry, PyObject* indexable, bool whole, bool include_hidden,
                std::vector<uint32_t>& path, size_t base = 0);
// Entries for the `Indexable` values of an attribute list.
void add_nested_entries(Entry& entry, std::vector<uint32_t>& path, size_t base = 0);

// Reads the objects of one batch, each with `make_entry`'s rules, except
// that a nested object met under several of them is read once: met again
// under another, it is a loop to that reading (see `NestedEntry`), which
// the engine enters in full where it needs to.  A batch of objects sharing
// a few nested objects thus copies each of those once.  The entries read
// must stay alive, unmoved, until the batch is entered.
class BatchReader {
public:
    using Read = absl::flat_hash_map<uint32_t, const Entry*>;

    // `defer`: leave the object's own list unread (`entry.attrs` null; its
    // nested entries are read all the same), for `read_deferred` to read
    // just before the entry is entered.  A large batch thus holds the
    // values of a few objects at a time, not of all.
    void fill(Entry& entry, PyObject* indexable, bool whole, bool include_hidden,
              bool defer = false);
    std::unique_ptr<Entry> make(PyObject* indexable, bool whole, bool include_hidden);

private:
    std::vector<uint32_t> path_;
    Read nested_;
};

// Read the attributes of `obj`, whose entry was filled deferred, into `list`
// (emptied first), and point the entry at it.  Requires the interpreter lock.
// Unless another entry loops to it, the values of exact ints, floats and strs
// hold no reference (see `read_attributes_borrowed`): the entry is for
// `add_object_many` with an adopted list, and `obj` must keep its values
// until that has returned.
void read_deferred(Entry& entry, PyObject* obj, AttrList& list);

}  // namespace corvane
