// The attribute list of an object: interned names and wrapped values, in
// assignment order.
//
// Reading an attribute scans the names for one and then takes one value, so
// the list keeps the names together at the front of one heap block and the
// values after them: the scan reads one cache line for the first eight
// names, whatever the size of a value.  The list itself is two words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/attr_name.hpp"
#include "engine/value.hpp"

namespace corvane {

// One attribute taken out of a list.
using Attr = std::pair<AttrName, PyValue>;

class AttrList {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

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

    AttrList() noexcept = default;
    AttrList(const AttrList& o);
    AttrList& operator=(const AttrList& o);
    AttrList(AttrList&& o) noexcept
        : names_(std::exchange(o.names_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          cap_(std::exchange(o.cap_, 0)) {}
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

    const AttrName& name(size_t i) const noexcept { return names_[i]; }
    const PyValue& value(size_t i) const noexcept { return values()[i]; }
    PyValue& value(size_t i) noexcept { return values()[i]; }
    Ref operator[](size_t i) const noexcept { return Ref(names_[i], values()[i]); }

    // The position of `name`, or `npos`.
    size_t index_of(AttrName name) const noexcept {
        for (size_t i = 0; i < size_; ++i)
            if (names_[i] == name) return i;
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
    void clear() noexcept;
    void swap(AttrList& o) noexcept {
        std::swap(names_, o.names_);
        std::swap(size_, o.size_);
        std::swap(cap_, o.cap_);
    }

private:
    PyValue* values() const noexcept { return reinterpret_cast<PyValue*>(names_ + cap_); }
    // Destroy the attributes and free the block.
    void release() noexcept;

    // The block: `cap_` names, then `cap_` values.
    AttrName* names_ = nullptr;
    uint32_t size_ = 0;
    uint32_t cap_ = 0;
};

}  // namespace corvane
