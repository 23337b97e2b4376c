#include "python/stored_attrs.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace corvane {

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

size_t StoredAttrs::rest_room(size_t n) noexcept {
    if (n == 0) return 0;
    size_t room = 2;
    while (room < n) room *= 2;
    return room;
}

void StoredAttrs::push_back(AttrName name, StoredValue value) {
    const size_t at = size();
    if (at >= kInPlace) {
        // Past the words in place the rest doubles as it fills.
        const size_t used = at - kInPlace;
        if (used == rest_room(used)) {
            auto* rest =
                static_cast<uintptr_t*>(::operator new(rest_room(used + 1) * sizeof(uintptr_t)));
            if (used != 0) std::memcpy(rest, rest_, used * sizeof(uintptr_t));
            ::operator delete(rest_);
            rest_ = rest;
        }
    }
    shape_ = AttrShape::extend(shape_, name);
    (at < kInPlace ? words_[at] : rest_[at - kInPlace]) = value.release();
}

void StoredAttrs::clear() noexcept {
    while (size() > 0) {
        const size_t last = size() - 1;
        const uintptr_t w = word(last);
        shape_ = AttrShape::shorten(shape_);
        StoredValue doomed(w);
    }
}

void StoredAttrs::swap(StoredAttrs& o) noexcept {
    std::swap(shape_, o.shape_);
    std::swap(words_, o.words_);
    std::swap(rest_, o.rest_);
}

void StoredAttrs::release() noexcept {
    clear();
    AttrShape::drop(shape_);
    shape_ = AttrShape::empty();
    ::operator delete(rest_);
    rest_ = nullptr;
}

}  // namespace corvane
