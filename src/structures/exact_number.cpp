#include "structures/exact_number.hpp"

#include <bit>

namespace corvane {

namespace {

using i128 = __int128;

i128 bit_length(const Limbs& x) {
    if (x.empty()) return 0;
    return static_cast<i128>(32 * (x.size() - 1)) + (32 - std::countl_zero(x.back()));
}

void trim(Limbs& x) {
    while (!x.empty() && x.back() == 0) x.pop_back();
}

Limbs multiply(const Limbs& a, const Limbs& b) {
    if (a.empty() || b.empty()) return {};
    Limbs out(a.size() + b.size(), 0);
    for (size_t i = 0; i < a.size(); ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < b.size(); ++j) {
            uint64_t t = static_cast<uint64_t>(a[i]) * b[j] + out[i + j] + carry;
            out[i + j] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        size_t k = i + b.size();
        while (carry != 0) {
            uint64_t t = static_cast<uint64_t>(out[k]) + carry;
            out[k++] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
    }
    trim(out);
    return out;
}

// 10^k by repeated squaring.
Limbs power_of_ten(u128 k) {
    Limbs result{1};
    Limbs base{10};
    while (k != 0) {
        if (k & 1) result = multiply(result, base);
        k >>= 1;
        if (k != 0) base = multiply(base, base);
    }
    return result;
}

int compare_limbs(const Limbs& a, const Limbs& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// x * 2^bits.
Limbs shifted_left(const Limbs& x, uint64_t bits) {
    if (x.empty()) return {};
    const size_t words = static_cast<size_t>(bits / 32);
    const unsigned rest = static_cast<unsigned>(bits % 32);
    Limbs out(words + x.size() + 1, 0);
    for (size_t i = 0; i < x.size(); ++i) {
        const uint64_t wide = static_cast<uint64_t>(x[i]) << rest;
        out[words + i] |= static_cast<uint32_t>(wide);
        out[words + i + 1] |= static_cast<uint32_t>(wide >> 32);
    }
    trim(out);
    return out;
}

// x / 2, in place.
void halve(Limbs& x) {
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = (x[i] >> 1) | (i + 1 < x.size() ? x[i + 1] << 31 : 0);
    trim(x);
}

// x - y, in place, for x >= y.
void subtract(Limbs& x, const Limbs& y) {
    uint64_t borrow = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        const uint64_t t = static_cast<uint64_t>(x[i]) - (i < y.size() ? y[i] : 0) - borrow;
        x[i] = static_cast<uint32_t>(t);
        borrow = (t >> 32) & 1;
    }
    trim(x);
}

// x * factor + addend, in place.
void multiply_add(Limbs& x, uint32_t factor, uint32_t addend) {
    uint64_t carry = addend;
    for (uint32_t& limb : x) {
        const uint64_t t = static_cast<uint64_t>(limb) * factor + carry;
        limb = static_cast<uint32_t>(t);
        carry = t >> 32;
    }
    if (carry != 0) x.push_back(static_cast<uint32_t>(carry));
}

// Lowest and highest bit length of 10^k: floor(k * log2(10)) + 1, with
// log2(10) = 3.32192809488...
i128 pow10_bits_low(u128 k) {
    return k == 0 ? 1 : static_cast<i128>(k * 3321928094u / 1000000000u) + 1;
}
i128 pow10_bits_high(u128 k) {
    return k == 0 ? 1 : static_cast<i128>(k * 3321928095u / 1000000000u) + 1;
}

// Compare x * y * 10^kx with z * w * 10^kz (all positive).  Bit lengths
// decide whenever they part, so that a power of ten is only ever built when
// the other side is about as long: never for exponents far apart.
int compare_products(const Limbs& x, const Limbs& y, u128 kx, const Limbs& z, const Limbs& w,
                     u128 kz) {
    const i128 left_low = bit_length(x) + bit_length(y) + pow10_bits_low(kx) - 2;
    const i128 left_high = bit_length(x) + bit_length(y) + pow10_bits_high(kx);
    const i128 right_low = bit_length(z) + bit_length(w) + pow10_bits_low(kz) - 2;
    const i128 right_high = bit_length(z) + bit_length(w) + pow10_bits_high(kz);
    if (left_low > right_high) return 1;
    if (right_low > left_high) return -1;
    Limbs left = multiply(x, y);
    if (kx != 0) left = multiply(left, power_of_ten(kx));
    Limbs right = multiply(z, w);
    if (kz != 0) right = multiply(right, power_of_ten(kz));
    return compare_limbs(left, right);
}

}  // namespace

Limbs limbs_of(uint64_t x) {
    Limbs out{static_cast<uint32_t>(x), static_cast<uint32_t>(x >> 32)};
    trim(out);
    return out;
}

Limbs limbs_of_bytes(const unsigned char* little_endian, size_t count) {
    Limbs out((count + 3) / 4, 0);
    for (size_t i = 0; i < count; ++i)
        out[i / 4] |= static_cast<uint32_t>(little_endian[i]) << (8 * (i % 4));
    trim(out);
    return out;
}

Limbs limbs_of_digits(const uint8_t* digits, size_t count) {
    Limbs out;
    // Nine digits at a time: 10^9 still fits a limb.
    for (size_t i = 0; i < count;) {
        uint32_t chunk = 0;
        uint32_t scale = 1;
        for (; i < count && scale < 1000000000u; ++i, scale *= 10) chunk = chunk * 10 + digits[i];
        multiply_add(out, scale, chunk);
    }
    trim(out);
    return out;
}

int64_t binary_exponent(const Limbs& num, const Limbs& den) {
    int64_t k = static_cast<int64_t>(bit_length(num) - bit_length(den));
    // 2^k <= num / den unless the leading bits say otherwise.
    const Limbs left = k < 0 ? shifted_left(num, static_cast<uint64_t>(-k)) : num;
    const Limbs right = k > 0 ? shifted_left(den, static_cast<uint64_t>(k)) : den;
    return compare_limbs(left, right) < 0 ? k - 1 : k;
}

std::pair<u128, bool> scaled_quotient(const Limbs& num, const Limbs& den, int64_t shift) {
    Limbs rest = shift > 0 ? shifted_left(num, static_cast<uint64_t>(shift)) : num;
    const Limbs divisor = shift < 0 ? shifted_left(den, static_cast<uint64_t>(-shift)) : den;
    // Long division one bit at a time, from the highest the quotient can have.
    const i128 top = bit_length(rest) - bit_length(divisor);
    u128 quotient = 0;
    if (top >= 0) {
        Limbs step = shifted_left(divisor, static_cast<uint64_t>(top));
        for (i128 bit = top; bit >= 0; --bit) {
            if (compare_limbs(rest, step) >= 0) {
                subtract(rest, step);
                quotient |= static_cast<u128>(1) << bit;
            }
            halve(step);
        }
    }
    return {quotient, !rest.empty()};
}

int compare_exact(const ExactNumber& a, const ExactNumber& b) {
    if (a.negative != b.negative) return a.negative ? -1 : 1;
    // |a| / |b| = (a.num * b.den * 10^a.exp10) / (b.num * a.den * 10^b.exp10)
    const i128 shift = static_cast<i128>(a.exp10) - b.exp10;
    const u128 ka = shift > 0 ? static_cast<u128>(shift) : 0;
    const u128 kb = shift < 0 ? static_cast<u128>(-shift) : 0;
    const int magnitude = compare_products(a.num, b.den, ka, b.num, a.den, kb);
    return a.negative ? -magnitude : magnitude;
}

}  // namespace corvane
