// The attribute list of an object: interned names and wrapped values, in
// assignment order.
//
// Reading an attribute scans the names for one and then takes the value's
// object.  The list lives inside its object and keeps its first few
// attributes there as (name, object) pairs, so that reading one of them
// touches only the object itself and the value's object.  The values
// themselves, and the names of the attributes past those kept in place,
// live in one heap block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/attr_name.hpp"
#include "engine/handle.hpp"
#include "engine/value.hpp"

namespace corvane {

// One attribute taken out of a list.
using Attr = std::pair<AttrName, PyValue>;

class AttrList {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);
    // How many leading attributes the list keeps in place.
    static constexpr size_t kInPlace = 6;

    // An attribute kept in place: its name and the object of its value.
    struct Slot {
        AttrName name;
        PyObject* object;
    };

    // What iteration and indexing give: the name and value in place.
    using Ref = std::pair<const AttrName&, const PyValue&>;

    class const_iterator {
    public:
        const_iterator(const AttrList* list, size_t i) noexcept : list_(list), i_(i) {}
        Ref operator*() const noexcept { return (*list_)[i_]; }
        const_iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        bool operator!=(const const_iterator& o) const noexcept { return i_ != o.i_; }
        bool operator==(const const_iterator& o) const noexcept { return i_ == o.i_; }

    private:
        const AttrList* list_;
        size_t i_;
    };

    AttrList() noexcept {}
    AttrList(const AttrList& o);
    AttrList& operator=(const AttrList& o);
    AttrList(AttrList&& o) noexcept
        : size_(std::exchange(o.size_, 0)), cap_(std::exchange(o.cap_, 0)),
          block_(std::exchange(o.block_, nullptr)) {
        copy_slots(o);
    }
    AttrList& operator=(AttrList&& o) noexcept {
        AttrList tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~AttrList() { release(); }

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, size_}; }

    const AttrName& name(size_t i) const noexcept {
        return i < kInPlace ? slots_[i].slot.name : spilled()[i - kInPlace];
    }
    const PyValue& value(size_t i) const noexcept { return values()[i]; }
    // The object of the value at `i`, read from the object itself while it
    // is kept in place.
    PyObject* object(size_t i) const noexcept {
        return i < kInPlace ? slots_[i].slot.object : values()[i].object();
    }
    Ref operator[](size_t i) const noexcept { return Ref(name(i), values()[i]); }

    // The attributes kept in place: the first `in_place()` of `slot(i)`.
    size_t in_place() const noexcept { return std::min<size_t>(size_, kInPlace); }
    const Slot& slot(size_t i) const noexcept { return slots_[i].slot; }

    // The position of `name`, or `npos`.
    size_t index_of(AttrName name) const noexcept {
        const size_t n = in_place();
        for (size_t i = 0; i < n; ++i)
            if (slots_[i].slot.name == name) return i;
        for (size_t i = kInPlace; i < size_; ++i)
            if (spilled()[i - kInPlace] == name) return i;
        return npos;
    }
    // The value of `name`, or null.
    const PyValue* find(AttrName name) const noexcept {
        size_t i = index_of(name);
        return i == npos ? nullptr : &values()[i];
    }

    void reserve(size_t n);
    // Append an attribute (the caller knows the name is not in the list).
    void push_back(AttrName name, PyValue value);
    void push_back(const Ref& attr) { push_back(attr.first, attr.second); }
    // Put `value` at position `i` and give back the value it replaces (for
    // the caller to drop once the list is consistent again).
    PyValue replace(size_t i, PyValue value) noexcept;
    void clear() noexcept;
    void swap(AttrList& o) noexcept;

private:
    // A slot that holds nothing until the list reaches it.
    union SlotCell {
        SlotCell() noexcept {}
        Slot slot;
    };

    static size_t spilled_count(size_t cap) noexcept { return cap > kInPlace ? cap - kInPlace : 0; }
    PyValue* values() const noexcept { return static_cast<PyValue*>(block_); }
    // The names of the attributes from position `kInPlace` on.
    AttrName* spilled() const noexcept { return reinterpret_cast<AttrName*>(values() + cap_); }
    // Take the slots of `o` (the rest of `o` is taken already).
    void copy_slots(const AttrList& o) noexcept;
    // Destroy the attributes and free the block.
    void release() noexcept;

    uint32_t size_ = 0;
    uint32_t cap_ = 0;
    SlotCell slots_[kInPlace];
    // The block: `cap_` values, then the names past the slots.
    void* block_ = nullptr;
};

}  // namespace corvane
