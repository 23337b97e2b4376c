// Conversions of Python values and names into engine values.
#pragma once

#include <Python.h>

#include <string>

#include "engine/attr_list.hpp"
#include "engine/value.hpp"
#include "python/stored_attrs.hpp"

namespace corvane {

// Wrap a Python object into an engine value, with its key (see
// engine/value.hpp).  Requires the interpreter lock.  Hashable ints beyond
// 64 bits and the other ordered types of python/range_keys.hpp are
// classified `Ordered`, with their range key; strings that cannot be encoded
// as UTF-8 and objects of other types are classified `Unknown`; an
// unhashable object (its hash raises TypeError) gets hash 0 and is keyed by
// identity.  Deciding the key may call the value's `__hash__` and `==` (and
// conversions of numbers of other types, and `utcoffset` of an aware date
// or time): an exception they raise, other than a TypeError from
// `__hash__`, propagates as `PyErrorSet` and nothing is recorded.
PyValue wrap_value(PyObject* obj);

// `wrap_value` for a value about to be stored as an attribute: a tuple or
// frozenset also gets the keys of its elements (see `ElementKeys`), which
// wrapping them may raise from as above.
PyValue wrap_stored_value(PyObject* obj);

// `obj` as an object stores it: its own object where its key follows from
// it alone, else its record (`wrap_stored_value`, which may raise as above).
StoredValue hold_value(PyObject* obj);
// The same for `obj` wrapped already (`value` is `wrap_stored_value(obj)`).
StoredValue hold_wrapped(PyObject* obj, PyValue value);

// The engine value of the attribute at `i` of `attrs`: its record, or its key
// computed again, exactly as wrapping it gave it (no Python code runs).
// Requires the interpreter lock.
PyValue stored_value(const StoredAttrs& attrs, size_t i);
// The same for one value held.
PyValue value_of_stored(const StoredValue& held);
// The attributes of `attrs` (names beginning with "_" too, unless
// `include_hidden` is false) as engine values, appended to `out`.
void read_attributes(const StoredAttrs& attrs, bool include_hidden, AttrList& out);
AttrList read_attributes(const StoredAttrs& attrs, bool include_hidden = true);
// All attributes of `attrs`, appended to `out`, where the values of exact
// ints, floats and strs hold no reference of their own (`SharedRef::unowned`):
// the list is valid while the object keeps those values, and only for engine
// work that makes a key of such a value adopt a reference (see
// `PyValue::adopt_later`).
void read_attributes_borrowed(const StoredAttrs& attrs, AttrList& out);

// Give the engine the hook that frees equality classes.  Called once when
// the module loads.
void install_value_hooks() noexcept;

// The bytes of an attribute name given as a Python str: its UTF-8 encoding,
// with lone surrogates passed through, so that distinct names never share
// bytes.  Requires the interpreter lock; raises (`PyErrorSet`) only when
// memory runs out.
std::string attribute_name(PyObject* name);

}  // namespace corvane
