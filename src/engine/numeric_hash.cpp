#include "engine/numeric_hash.hpp"

#include <cmath>

namespace corvane {

namespace {

constexpr uint64_t kModulus = (uint64_t{1} << kNumericHashBits) - 1;

// `magnitude`'s hash from its residue: the sign put back, -1 avoided.
int64_t signed_hash(uint64_t residue, bool negative) noexcept {
    int64_t h = static_cast<int64_t>(residue);
    if (negative) h = -h;
    return h == -1 ? -2 : h;
}

// `r` (below the modulus) times 2**shift, modulo the modulus: since
// 2**61 is 1 modulo 2**61 - 1, that is a rotation of its 61 bits.
uint64_t times_power_of_two(uint64_t r, int shift) noexcept {
    shift %= kNumericHashBits;
    if (shift < 0) shift += kNumericHashBits;
    if (shift == 0) return r;
    return ((r << shift) & kModulus) | (r >> (kNumericHashBits - shift));
}

}  // namespace

int64_t int_hash(int64_t x) noexcept {
    const bool negative = x < 0;
    // The magnitude of INT64_MIN is 2**63, which still fits unsigned.
    const uint64_t magnitude =
        negative ? uint64_t{0} - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
    return signed_hash(magnitude % kModulus, negative);
}

std::optional<int64_t> double_hash(double x) noexcept {
    if (std::isnan(x)) return std::nullopt;
    if (std::isinf(x)) return x > 0 ? kInfinityHash : -kInfinityHash;
    // x = m * 2**e exactly, with m an integer below 2**53.
    int e = 0;
    const double fraction = std::frexp(std::fabs(x), &e);
    const auto m = static_cast<uint64_t>(std::ldexp(fraction, 53));
    // m < 2**53 is already reduced; the power of two is a rotation.
    return signed_hash(times_power_of_two(m, e - 53), x < 0);
}

}  // namespace corvane
