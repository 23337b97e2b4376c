// The hash that Python gives numbers, computed natively.
//
// Python defines the hash of every rational number the same way whatever
// its type: the number reduced modulo the prime 2**61 - 1 (on 64-bit
// builds), negated for negative numbers, with -1 mapped to -2 (which the C
// API reserves for errors) and fixed values for the infinities.  Ints within
// 64 bits and finite doubles are hashed here without asking the
// interpreter; the binding uses this only where the interpreter's own
// parameters are those (`kNumericHashBits`).
#pragma once

#include <cstdint>
#include <optional>

namespace corvane {

// The width of the modulus (2**61 - 1) these functions reduce by.
inline constexpr int kNumericHashBits = 61;
// The hash of positive infinity (negative infinity hashes to its negation).
inline constexpr int64_t kInfinityHash = 314159;

// The hash of the int `x`.
int64_t int_hash(int64_t x) noexcept;
// The hash of the double `x`, or nothing for NaN, whose hash depends on the
// interpreter (0, or one drawn from the object's address).
std::optional<int64_t> double_hash(double x) noexcept;

}  // namespace corvane
