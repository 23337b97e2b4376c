#include "engine/attr_list.hpp"

#include <cstring>
#include <new>
#include <type_traits>

namespace corvane {

static_assert(std::is_trivially_copyable_v<AttrName> && std::is_trivially_destructible_v<AttrName>,
              "names are copied as bytes and need no destruction");
static_assert(sizeof(PyValue) % alignof(AttrName) == 0, "names follow the values aligned");

AttrList::AttrList(const AttrList& o) {
    reserve(o.size_);
    for (size_t i = 0; i < o.size_; ++i) push_back(o.name(i), o.value(i));
}

AttrList& AttrList::operator=(const AttrList& o) {
    if (this != &o) {
        AttrList tmp(o);
        swap(tmp);
    }
    return *this;
}

void AttrList::copy_slots(const AttrList& o) noexcept {
    std::memcpy(static_cast<void*>(slots_), o.slots_, in_place() * sizeof(SlotCell));
}

void AttrList::swap(AttrList& o) noexcept {
    const size_t n = std::max(in_place(), o.in_place());
    SlotCell mine[kInPlace];
    std::memcpy(static_cast<void*>(mine), slots_, n * sizeof(SlotCell));
    std::memcpy(static_cast<void*>(slots_), o.slots_, n * sizeof(SlotCell));
    std::memcpy(static_cast<void*>(o.slots_), mine, n * sizeof(SlotCell));
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
    std::swap(block_, o.block_);
}

void AttrList::reserve(size_t n) {
    if (n <= cap_) return;
    void* block = ::operator new(n * sizeof(PyValue) + spilled_count(n) * sizeof(AttrName));
    auto* values = static_cast<PyValue*>(block);
    auto* names = reinterpret_cast<AttrName*>(values + n);
    // Names are plain pointers and values move without failing: nothing
    // below throws.
    for (size_t i = 0; i < size_; ++i) new (&values[i]) PyValue(std::move(this->values()[i]));
    for (size_t i = kInPlace; i < size_; ++i)
        new (&names[i - kInPlace]) AttrName(spilled()[i - kInPlace]);
    const uint32_t size = size_;
    release();
    block_ = block;
    size_ = size;
    cap_ = static_cast<uint32_t>(n);
}

void AttrList::push_back(AttrName name, PyValue value) {
    // Objects gain their attributes one by one while they are built, and
    // rarely later: the block grows by half, so that a list built up to a
    // handful of attributes wastes little.
    if (size_ == cap_) reserve(cap_ == 0 ? 4 : size_t{cap_} + std::max<size_t>(2, cap_ / 2));
    if (size_ < kInPlace) {
        new (&slots_[size_].slot) Slot{name, value.object()};
    } else {
        new (&spilled()[size_ - kInPlace]) AttrName(name);
    }
    new (&values()[size_]) PyValue(std::move(value));
    ++size_;
}

PyValue AttrList::replace(size_t i, PyValue value) noexcept {
    std::swap(values()[i], value);
    if (i < kInPlace) slots_[i].slot.object = values()[i].object();
    return value;
}

void AttrList::clear() noexcept {
    // The size drops before each value goes: a finaliser that dropping a
    // value runs sees a consistent, shorter list.
    while (size_ > 0) {
        --size_;
        values()[size_].~PyValue();
    }
}

void AttrList::release() noexcept {
    clear();
    ::operator delete(block_);
    block_ = nullptr;
    cap_ = 0;
}

}  // namespace corvane
