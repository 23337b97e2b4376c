// Scalar values of the C++ test references, wrapped as the binding wraps
// them: an int, a float or a text, hashed as Python hashes them where the
// tests rely on it (equal numbers hash alike, so 1 and 1.0 are one key).
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string_view>

#include "engine/value.hpp"

namespace corvane::reference {

enum class Scalar { Int, Float, Text };

inline uint64_t scalar_hash(Scalar kind, double num, std::string_view text) {
    if (kind == Scalar::Text) return std::hash<std::string_view>{}(text);
    if (num == std::floor(num)) return static_cast<uint64_t>(static_cast<int64_t>(num));
    return std::hash<double>{}(num);
}

// A value holding no Python object, for an engine that never reads it.
inline PyValue scalar_value(Scalar kind, double num, const char* text) {
    const uint64_t h = scalar_hash(kind, num, text);
    switch (kind) {
        case Scalar::Int: return PyValue::of_int(SharedRef(), static_cast<int64_t>(num), h);
        case Scalar::Float: return PyValue::of_float(SharedRef(), num, h);
        case Scalar::Text: break;
    }
    return PyValue::of_str(SharedRef(), text, h);
}

}  // namespace corvane::reference
