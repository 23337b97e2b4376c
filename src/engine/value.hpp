// Wrapped attribute values.
//
// A `PyValue` is what an index records for one attribute value and what a
// query compares against: a shared strong reference to the Python object,
// its native classification (`CastValue`, which decides range comparisons
// and the text form), its Python hash, and its key (`KeyKind`), all taken
// once when the binding wraps the value.  Values are compared and hashed
// here from those fields alone, with no call into the interpreter.
//
// Two values are one key exactly when a dict would take them as one key:
// equal hashes and equal values.  The binding reduces every value to a key
// the engine can compare on its own:
// * a number (`Int`/`Float`): exact ints within 64 bits and floats, and the
//   objects of other types found equal to such a number (True, an IntEnum
//   member, Decimal(1), a big int that a double holds exactly); numbers
//   compare numerically, a NaN equals a NaN;
// * a text (`Text`): exact strs and str subclasses equal to their text;
// * the object itself (`Identity`): values whose type keeps object's own
//   equality, and every unhashable value (hash 0), each a key of its own;
// * an equality class (`Class`): any other hashable value, put by the binding
//   in the class of the values it is `==` to (big ints, tuples, objects with
//   their own `__eq__`).
// Keys of different kinds are never equal, so 1, 1.0 and True are one key,
// "" and 0 are two, -1 and -2 (equal hashes in CPython) are two, and an
// unhashable value matches nothing but itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/handle.hpp"
#include "structures/ranged_b_tree.hpp"

namespace corvane {

// `Ordered`: a value of an ordered type other than an exact int within 64
// bits or an exact float (a big int, a `Decimal`, a `Fraction`, a date, time,
// datetime or timedelta), whose range key the binding computed.
enum class CastValue : uint8_t { Int, Float, Str, Ind, Unknown, Ordered };
enum class KeyKind : uint8_t { Int, Float, Text, Identity, Class };

class PyValue {
public:
    PyValue() = default;
    PyValue(const PyValue& o) noexcept;
    PyValue(PyValue&& o) noexcept;
    PyValue& operator=(const PyValue& o) noexcept;
    PyValue& operator=(PyValue&& o) noexcept;
    ~PyValue();

    // A value of each kind, from the handle of its object and its hash.
    static PyValue of_int(SharedRef obj, int64_t i, uint64_t hash) noexcept {
        return int_keyed(std::move(obj), CastValue::Int, i, hash);
    }
    static PyValue of_float(SharedRef obj, double f, uint64_t hash) noexcept {
        return float_keyed(std::move(obj), CastValue::Float, f, hash);
    }
    // `text` lives in the str object that `obj` keeps alive.
    static PyValue of_str(SharedRef obj, std::string_view text, uint64_t hash) noexcept {
        return text_keyed(std::move(obj), CastValue::Str, text, hash);
    }
    // An `Indexable` object with its object id, keyed by identity, or by its
    // equality class when `cls` is set.
    static PyValue of_indexable(SharedRef obj, uint32_t id, uint64_t hash,
                                ClassRef cls = {}) noexcept;
    // An object of any other kind, keyed by identity, or by its equality
    // class when `cls` is set.
    static PyValue of_other(SharedRef obj, uint64_t hash, ClassRef cls = {}) noexcept;
    // A value keyed as a number or a text, of any classification: an object
    // of another kind that is one key with a native number or text has kind
    // `Unknown` (`text` lives in `obj`).
    static PyValue int_keyed(SharedRef obj, CastValue cast, int64_t i, uint64_t hash) noexcept;
    static PyValue float_keyed(SharedRef obj, CastValue cast, double f, uint64_t hash) noexcept;
    static PyValue text_keyed(SharedRef obj, CastValue cast, std::string_view text,
                              uint64_t hash) noexcept;
    // The same value, classified `Ordered` with range key `key`.  Only for
    // values not keyed as a text.
    PyValue with_range_key(OrderedRef key) && noexcept;
    // A value whose handle holds no reference (see `SharedRef::unowned`)
    // takes one: its handle adopts a reference that the caller must take for
    // it, under the interpreter lock and before anything can drop the value,
    // by adding the object to `adopted`.  Nothing happens to a value that
    // owns its reference, or that was made without an object.
    void adopt_later(std::vector<PyObject*>& adopted) {
        PyObject* obj = obj_.get();
        if (obj_ || obj == nullptr) return;
        adopted.push_back(obj);
        obj_ = SharedRef(adopt, obj);
    }

    CastValue kind() const noexcept { return kind_; }
    KeyKind key_kind() const noexcept { return key_; }
    uint64_t hash() const noexcept { return hash_; }
    PyObject* object() const noexcept { return obj_.get(); }
    // The handle of the object, and the class of a `Class` key (or the
    // carrier of the element keys of an unhashable tuple).
    const SharedRef& handle() const noexcept { return obj_; }
    EqualityClass* key_class() const noexcept { return cls_.get(); }
    int64_t as_int() const noexcept { return num_.i; }
    // The object id of an `Ind` value.
    uint32_t nested_id() const noexcept { return static_cast<uint32_t>(num_.i); }
    double as_float() const noexcept { return num_.f; }
    // The text of a `Str` value or a `Text` key.  It lives in the wrapped
    // object, which this value keeps alive.
    std::string_view text() const noexcept { return {str_, len_}; }

    // True when the value has a range key: a number or a value of another
    // ordered family, all of them on the one scale of the range trees.
    bool is_numeric() const noexcept {
        return kind_ == CastValue::Int || kind_ == CastValue::Float || kind_ == CastValue::Ordered;
    }
    RangeValue range_value() const noexcept {
        switch (kind_) {
            case CastValue::Int: return RangeValue::of_int(num_.i);
            case CastValue::Float: return RangeValue::of_float(num_.f);
            default:
                return ord_->exact ? RangeValue::of_inexact(ord_)
                                   : RangeValue::of_encoded(ord_->value_part);
        }
    }

    bool same_key(const PyValue& o) const noexcept;

    // The distinct keys of the elements of a tuple or frozenset value, or
    // null for any other value (see `ElementKeys`).
    inline const std::vector<PyValue>* elements() const noexcept;
    // The same value carrying the element keys of `carrier`, a class of its
    // own: only for a value keyed by identity (an unhashable tuple), whose
    // key ignores the class.
    PyValue with_element_carrier(ClassRef carrier) && noexcept;

    // "PyValue { obj: Py(0x...), primitave: Int(5), hash: 5 }"
    std::string debug() const;

private:
    PyValue(SharedRef obj, CastValue kind, KeyKind key, uint64_t hash) noexcept
        : obj_(std::move(obj)), kind_(kind), key_(key), hash_(hash) {}

    SharedRef obj_;
    // The equality class of a `Class` key.
    ClassRef cls_;
    union {
        int64_t i;
        double f;
    } num_{0};
    // The text of a text key, or the range key of an `Ordered` value (one
    // count held), never both: texts are not ordered.
    union {
        const char* str_ = nullptr;
        const OrderedKey* ord_;
    };
    uint32_t len_ = 0;
    CastValue kind_ = CastValue::Unknown;
    KeyKind key_ = KeyKind::Identity;
    uint64_t hash_ = 0;
};

// The element keys of a tuple or frozenset value: one key per distinct
// element (1, 1.0 and True are one), in the order the elements come;
// unhashable elements have none.  A nested tuple is one element, keyed as
// a whole.  The keys hold no reference of their own to the elements of the
// value whose class carries them, which keeps those alive; only a key
// compared by text holds its text, since an index may keep that key after
// the value is gone.
struct ElementKeys {
    // Where the value does not keep its elements' objects itself (a
    // frozenset on PyPy, which may make them anew for each iteration), a
    // tuple of them that does, named by the keys in its place.
    SharedRef holder;
    std::vector<PyValue> keys;
};

inline const std::vector<PyValue>* PyValue::elements() const noexcept {
    const EqualityClass* c = cls_.get();
    if (c == nullptr) return nullptr;
    const ElementKeys* e = c->elements.load(std::memory_order_acquire);
    return e == nullptr ? nullptr : &e->keys;
}

// Hashing and equality functors for hash maps keyed by values.
struct PyValueHash {
    size_t operator()(const PyValue& v) const noexcept {
        // Python hashes of small ints are the ints themselves: spread them.
        // Identity keys hash by address: every unhashable value has hash 0,
        // and one bucket for all of them would make lookups linear.
        uint64_t h = (v.key_kind() == KeyKind::Identity
                          ? static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v.object()))
                          : v.hash()) *
                     0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h ^ (h >> 32));
    }
};
struct PyValueEq {
    bool operator()(const PyValue& a, const PyValue& b) const noexcept { return a.same_key(b); }
};

// Names beginning with "_" are stored on objects but never indexed by adding
// or assignment.
inline bool hidden_name(std::string_view name) noexcept {
    return !name.empty() && name.front() == '_';
}

// Formatting helpers shared with the query text form.
std::string debug_float(double d);
std::string debug_str(std::string_view s);

}  // namespace corvane
