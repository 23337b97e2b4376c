// The attributes an `Indexable` stores: interned names and the values'
// objects, in assignment order.
//
// An object keeps one word per value, as a `__slots__` object does.  Most
// values are exact ints within 64 bits, floats and strs, whose engine key
// (see engine/value.hpp) follows from the object alone with no Python code:
// the word is the object itself, and the key is computed again whenever an
// index needs it.  So is an `Indexable` keyed by identity whose hash is the
// interpreter's own address hash.  Any other value (its key came from
// `__hash__` and `==`, a range key, element keys) keeps the record wrapped
// when it was stored, which an index must find unchanged when the value
// leaves: the word points at that record instead.
//
//     object:  [header | shape | 6 words | ... ]   (with more than six values, the
//              sixth word points to a block of the values from the sixth on)
//     shape:   the names, in order, shared by the objects that have them (see AttrShape)
//     word:    int / float / str / Indexable object            (key computed on demand)
//              or  PyValue record | tag  --> the value's object  (key kept)
//
// The list is written only under the interpreter lock (see `IndexableState`),
// and dropping a value releases its reference at once: the list belongs to
// the binding.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/attr_name.hpp"
#include "engine/value.hpp"
#include "python/attr_shape.hpp"

namespace corvane {

// How a stored value is kept (the low bits of its word).
enum class StoredForm : uintptr_t { Native = 0, Identity = 1, Record = 2 };

// One stored value: its own strong reference, or its record.  Move-only.
class StoredValue {
public:
    StoredValue() noexcept = default;
    // Take a new reference to `obj`, whose key follows from the object.
    static StoredValue native(PyObject* obj, StoredForm form) noexcept {
        Py_INCREF(obj);
        return StoredValue(reinterpret_cast<uintptr_t>(obj) | static_cast<uintptr_t>(form));
    }
    // Keep the record of a value whose key does not.
    static StoredValue record(PyValue value);

    StoredValue(StoredValue&& o) noexcept : bits_(std::exchange(o.bits_, 0)) {}
    StoredValue& operator=(StoredValue&& o) noexcept {
        StoredValue tmp(std::move(o));
        std::swap(bits_, tmp.bits_);
        return *this;
    }
    StoredValue(const StoredValue&) = delete;
    StoredValue& operator=(const StoredValue&) = delete;
    ~StoredValue() { reset(); }

    explicit operator bool() const noexcept { return bits_ != 0; }
    StoredForm form() const noexcept { return form_of(bits_); }
    PyObject* object() const noexcept { return object_of(bits_); }
    uintptr_t word() const noexcept { return bits_; }
    void reset() noexcept;

    static constexpr uintptr_t kTag = 3;
    static StoredForm form_of(uintptr_t bits) noexcept { return StoredForm(bits & kTag); }
    static const PyValue* record_of(uintptr_t bits) noexcept {
        return reinterpret_cast<const PyValue*>(bits & ~kTag);
    }
    static PyObject* object_of(uintptr_t bits) noexcept {
        return form_of(bits) == StoredForm::Record ? record_of(bits)->object()
                                                   : reinterpret_cast<PyObject*>(bits & ~kTag);
    }

private:
    friend class StoredAttrs;
    explicit StoredValue(uintptr_t bits) noexcept : bits_(bits) {}
    uintptr_t release() noexcept { return std::exchange(bits_, 0); }

    uintptr_t bits_ = 0;
};

class StoredAttrs {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);
    // How many words the object itself has: all the values of an object
    // with at most that many, else the first `kInPlace - 1` and a pointer to
    // a block with the rest.
    static constexpr size_t kInPlace = 6;

    StoredAttrs() noexcept : shape_(AttrShape::empty()) {}
    StoredAttrs(const StoredAttrs&) = delete;
    StoredAttrs& operator=(const StoredAttrs&) = delete;
    ~StoredAttrs() { clear(); }

    size_t size() const noexcept { return shape_->size(); }
    bool empty() const noexcept { return size() == 0; }
    const AttrShape& shape() const noexcept { return *shape_; }
    const AttrName& name(size_t i) const noexcept { return shape_->names()[i]; }
    // The word of the value at `i` (see `StoredValue`).
    uintptr_t word(size_t i) const noexcept { return *word_at(i); }
    PyObject* object(size_t i) const noexcept { return StoredValue::object_of(word(i)); }
    StoredForm form(size_t i) const noexcept { return StoredValue::form_of(word(i)); }
    // The record of the value at `i`, or null when its key is computed.
    const PyValue* record(size_t i) const noexcept {
        const uintptr_t w = word(i);
        return StoredValue::form_of(w) == StoredForm::Record ? StoredValue::record_of(w) : nullptr;
    }

    // The position of `name`, or `npos`.
    size_t index_of(AttrName name) const noexcept { return shape_->index_of(name); }

    // Append an attribute (the caller knows the name is not in the list).
    void push_back(AttrName name, StoredValue value);
    // Put `value` at `i` and give back the value it replaces, for the caller
    // to drop once the list is consistent again.
    StoredValue replace(size_t i, StoredValue value) noexcept {
        return StoredValue(std::exchange(*const_cast<uintptr_t*>(word_at(i)), value.release()));
    }
    // Drop every value, the last first; the size drops before each value
    // goes, so that a finaliser it runs sees a consistent, shorter list.
    void clear() noexcept;
    void swap(StoredAttrs& o) noexcept;

    // Check the list: its shape (`AttrShape::validate`), and each word: a
    // value's own object of a kind whose key follows from it (an exact int,
    // float or str for `Native`, an `Indexable` for `Identity`), or a record
    // of any other kind of value.  Requires the interpreter lock.  Throws
    // InternalFailure naming the first violation.
    void validate(PyTypeObject* indexable) const;

private:
    static constexpr size_t kKept = kInPlace - 1;  // words in place beside a block
    const uintptr_t* word_at(size_t i) const noexcept {
        if (i < kKept || size() <= kInPlace) return &words_[i];
        return &block()[i - kKept];
    }
    uintptr_t* block() const noexcept { return reinterpret_cast<uintptr_t*>(words_[kKept]); }
    // The room of a block for `n` words: a power of two, so that it follows
    // from the size alone.
    static size_t block_room(size_t n) noexcept;

    AttrShape* shape_;
    uintptr_t words_[kInPlace];
};

}  // namespace corvane
