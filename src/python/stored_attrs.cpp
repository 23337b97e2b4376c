#include "python/stored_attrs.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace corvane {

static_assert(std::is_trivially_copyable_v<StoredAttrs::Slot>, "slots move as bytes");
static_assert(alignof(PyValue) > StoredValue::kTag, "a record's address leaves the tag bits free");

StoredValue StoredValue::record(PyValue value) {
    auto* rec = new PyValue(std::move(value));
    return StoredValue(reinterpret_cast<uintptr_t>(rec) |
                       static_cast<uintptr_t>(StoredForm::Record));
}

void StoredValue::reset() noexcept {
    const uintptr_t bits = std::exchange(bits_, 0);
    if (bits == 0) return;
    if (form_of(bits) == StoredForm::Record) {
        delete record_of(bits);
    } else {
        Py_DECREF(reinterpret_cast<PyObject*>(bits & ~kTag));
    }
}

void StoredAttrs::reserve(size_t n) {
    if (n <= kInPlace + rest_cap_) return;
    const size_t cap = n - kInPlace;
    auto* rest = static_cast<Slot*>(::operator new(cap * sizeof(Slot)));
    if (size_ > kInPlace)
        std::memcpy(static_cast<void*>(rest), rest_, (size_ - kInPlace) * sizeof(Slot));
    ::operator delete(rest_);
    rest_ = rest;
    rest_cap_ = static_cast<uint32_t>(cap);
}

void StoredAttrs::push_back(AttrName name, StoredValue value) {
    // Past the slots in place the rest grows by half, so that an object
    // with a few more attributes wastes little.
    if (size_ >= kInPlace && size_ == kInPlace + rest_cap_)
        reserve(size_ + std::max<size_t>(2, rest_cap_ / 2));
    Slot& s = size_ < kInPlace ? slots_[size_].slot : rest_[size_ - kInPlace];
    new (&s) Slot{name, value.release()};
    ++size_;
}

StoredValue StoredAttrs::replace(size_t i, StoredValue value) noexcept {
    Slot& s = slot_at(i);
    return StoredValue(std::exchange(s.word, value.release()));
}

void StoredAttrs::clear() noexcept {
    while (size_ > 0) {
        --size_;
        StoredValue doomed(slot_at(size_).word);
    }
}

void StoredAttrs::swap(StoredAttrs& o) noexcept {
    const size_t n = std::max(in_place(), o.in_place());
    SlotCell mine[kInPlace];
    std::memcpy(static_cast<void*>(mine), slots_, n * sizeof(SlotCell));
    std::memcpy(static_cast<void*>(slots_), o.slots_, n * sizeof(SlotCell));
    std::memcpy(static_cast<void*>(o.slots_), mine, n * sizeof(SlotCell));
    std::swap(size_, o.size_);
    std::swap(rest_cap_, o.rest_cap_);
    std::swap(rest_, o.rest_);
}

void StoredAttrs::release() noexcept {
    clear();
    ::operator delete(rest_);
    rest_ = nullptr;
    rest_cap_ = 0;
}

}  // namespace corvane
