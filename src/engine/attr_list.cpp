#include "engine/attr_list.hpp"

#include <algorithm>
#include <new>

namespace corvane {

static_assert(sizeof(AttrName) % alignof(PyValue) == 0, "values follow the names aligned");

AttrList::AttrList(const AttrList& o) {
    reserve(o.size_);
    for (size_t i = 0; i < o.size_; ++i) push_back(o.names_[i], o.value(i));
}

AttrList& AttrList::operator=(const AttrList& o) {
    if (this != &o) {
        AttrList tmp(o);
        swap(tmp);
    }
    return *this;
}

void AttrList::reserve(size_t n) {
    if (n <= cap_) return;
    void* block = ::operator new(n * (sizeof(AttrName) + sizeof(PyValue)));
    auto* names = static_cast<AttrName*>(block);
    auto* values = reinterpret_cast<PyValue*>(names + n);
    // Names are plain pointers and values move without failing: nothing
    // below throws.
    for (size_t i = 0; i < size_; ++i) {
        new (&names[i]) AttrName(names_[i]);
        new (&values[i]) PyValue(std::move(value(i)));
    }
    const uint32_t size = size_;
    release();
    names_ = names;
    size_ = size;
    cap_ = static_cast<uint32_t>(n);
}

void AttrList::push_back(AttrName name, PyValue value) {
    // Objects gain their attributes one by one while they are built, and
    // rarely later: the block grows by half, so that a list built up to a
    // handful of attributes wastes little.
    if (size_ == cap_) reserve(cap_ == 0 ? 4 : size_t{cap_} + std::max<size_t>(2, cap_ / 2));
    new (&names_[size_]) AttrName(name);
    new (&values()[size_]) PyValue(std::move(value));
    ++size_;
}

void AttrList::clear() noexcept {
    // The size drops before each value goes: a finaliser that dropping a
    // value runs sees a consistent, shorter list.
    while (size_ > 0) {
        --size_;
        values()[size_].~PyValue();
        names_[size_].~AttrName();
    }
}

void AttrList::release() noexcept {
    clear();
    ::operator delete(static_cast<void*>(names_));
    names_ = nullptr;
    cap_ = 0;
}

}  // namespace corvane
