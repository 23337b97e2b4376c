// Wrapped attribute values.
//
// A `PyValue` is what an index records for one attribute value and what a
// query compares against: a shared strong reference to the Python object,
// its native classification (`CastValue`) and its Python hash, taken once
// when the binding wraps the value.  Values are compared and hashed here
// from those fields alone, with no call into the interpreter.
//
// Two values are the same key when their hashes are equal and, in addition,
// when both are numbers (exact `int`/`float`) they are numerically equal, and
// when both are exact `str` their texts are equal.  Any other pair (mixed
// kinds, or an object of another type on either side) is the same key exactly
// when the hashes are equal.  So 1, 1.0 and True are one key, every
// unhashable value shares hash 0, and -1 and -2 (equal hashes in CPython)
// stay apart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/handle.hpp"
#include "structures/ranged_b_tree.hpp"

namespace corvane {

enum class CastValue : uint8_t { Int, Float, Str, Ind, Unknown };

class PyValue {
public:
    PyValue() = default;

    // A value of each kind, from the handle of its object and its hash.
    static PyValue of_int(SharedRef obj, int64_t i, uint64_t hash) noexcept;
    static PyValue of_float(SharedRef obj, double f, uint64_t hash) noexcept;
    // `text` lives in the str object that `obj` keeps alive.
    static PyValue of_str(SharedRef obj, std::string_view text, uint64_t hash) noexcept;
    // An `Indexable` object with its object id.
    static PyValue of_indexable(SharedRef obj, uint32_t id, uint64_t hash) noexcept;
    static PyValue of_other(SharedRef obj, uint64_t hash) noexcept;

    CastValue kind() const noexcept { return kind_; }
    uint64_t hash() const noexcept { return hash_; }
    PyObject* object() const noexcept { return obj_.get(); }
    int64_t as_int() const noexcept { return num_.i; }
    // The object id of an `Ind` value.
    uint32_t nested_id() const noexcept { return static_cast<uint32_t>(num_.i); }
    double as_float() const noexcept { return num_.f; }
    // The text of a `Str` value.  It lives in the wrapped str object, which
    // this value keeps alive.
    std::string_view text() const noexcept { return {str_, len_}; }

    bool is_numeric() const noexcept { return kind_ == CastValue::Int || kind_ == CastValue::Float; }
    RangeValue range_value() const noexcept {
        return kind_ == CastValue::Int ? RangeValue::of_int(num_.i) : RangeValue::of_float(num_.f);
    }

    bool same_key(const PyValue& o) const noexcept;

    // "PyValue { obj: Py(0x...), primitave: Int(5), hash: 5 }"
    std::string debug() const;

private:
    PyValue(SharedRef obj, CastValue kind, uint64_t hash) noexcept
        : obj_(std::move(obj)), kind_(kind), hash_(hash) {}

    SharedRef obj_;
    union {
        int64_t i;
        double f;
    } num_{0};
    const char* str_ = nullptr;
    uint32_t len_ = 0;
    CastValue kind_ = CastValue::Unknown;
    uint64_t hash_ = 0;
};

// Hashing and equality functors for hash maps keyed by values.
struct PyValueHash {
    size_t operator()(const PyValue& v) const noexcept {
        // Python hashes of small ints are the ints themselves: spread them.
        uint64_t h = v.hash() * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h ^ (h >> 32));
    }
};
struct PyValueEq {
    bool operator()(const PyValue& a, const PyValue& b) const noexcept { return a.same_key(b); }
};

// An object's attributes: name and wrapped value, in assignment order.
using Attr = std::pair<std::string, PyValue>;
using AttrList = std::vector<Attr>;

// Names beginning with "_" are stored on objects but never indexed by adding
// or assignment.
inline bool hidden_name(std::string_view name) noexcept {
    return !name.empty() && name.front() == '_';
}

// Formatting helpers shared with the query text form.
std::string debug_float(double d);
std::string debug_str(std::string_view s);

}  // namespace corvane
