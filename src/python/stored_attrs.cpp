#include "python/stored_attrs.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "structures/failure.hpp"

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

size_t StoredAttrs::block_room(size_t n) noexcept {
    size_t room = 2;
    while (room < n) room *= 2;
    return room;
}

void StoredAttrs::push_back(AttrName name, StoredValue value) {
    const size_t at = size();
    if (at == kInPlace) {
        // The sixth value moves to a block, which the sixth word points to.
        auto* fresh = static_cast<uintptr_t*>(::operator new(block_room(2) * sizeof(uintptr_t)));
        fresh[0] = words_[kKept];
        words_[kKept] = reinterpret_cast<uintptr_t>(fresh);
    } else if (at > kInPlace) {
        // The block doubles as it fills.
        const size_t used = at - kKept;
        if (used == block_room(used)) {
            auto* grown =
                static_cast<uintptr_t*>(::operator new(block_room(used + 1) * sizeof(uintptr_t)));
            std::memcpy(grown, block(), used * sizeof(uintptr_t));
            ::operator delete(block());
            words_[kKept] = reinterpret_cast<uintptr_t>(grown);
        }
    }
    try {
        shape_ = AttrShape::extend(shape_, name);
    } catch (...) {
        if (at == kInPlace) {
            uintptr_t* fresh = block();
            words_[kKept] = fresh[0];
            ::operator delete(fresh);
        }
        throw;
    }
    (at < kInPlace ? words_[at] : block()[at - kKept]) = value.release();
}

void StoredAttrs::clear() noexcept {
    while (size() > 0) {
        const size_t last = size() - 1;
        const uintptr_t w = word(last);
        if (last == kInPlace) {
            // Back to six values: the sixth returns to the object.
            uintptr_t* rest = block();
            words_[kKept] = rest[0];
            ::operator delete(rest);
        }
        shape_ = AttrShape::shorten(shape_);
        StoredValue doomed(w);
    }
    AttrShape::drop(shape_);
    shape_ = AttrShape::empty();
}

void StoredAttrs::validate(PyTypeObject* indexable) const {
    shape_->validate();
    for (size_t i = 0; i < size(); ++i) {
        const uintptr_t w = word(i);
        const std::string where = "invalid attributes: \"" + name(i).str() + "\" ";
        if (w == 0) fail(where + "holds nothing");
        PyObject* obj = StoredValue::object_of(w);
        if (obj == nullptr) fail(where + "holds a record without an object");
        PyTypeObject* type = Py_TYPE(obj);
        switch (StoredValue::form_of(w)) {
            case StoredForm::Native:
                if (type != &PyLong_Type && type != &PyFloat_Type && type != &PyUnicode_Type)
                    fail(where + "holds a " + type->tp_name + " as its own object");
                break;
            case StoredForm::Identity:
                if (!PyType_IsSubtype(type, indexable))
                    fail(where + "holds a " + type->tp_name + " as an Indexable");
                break;
            case StoredForm::Record: {
                const CastValue kind = StoredValue::record_of(w)->kind();
                if (kind == CastValue::Int || kind == CastValue::Float || kind == CastValue::Str)
                    fail(where + "keeps the record of a value keyed from its object");
                break;
            }
            default: fail(where + "has an unknown form");
        }
    }
}

void StoredAttrs::swap(StoredAttrs& o) noexcept {
    std::swap(shape_, o.shape_);
    std::swap(words_, o.words_);
}

}  // namespace corvane
