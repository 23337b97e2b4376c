#include "structures/range_key.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <memory>

namespace corvane {

namespace {

using i128 = __int128;

constexpr uint32_t kZeroHead = 0x80000000u;
constexpr u128 kZero = static_cast<u128>(kZeroHead) << 64;
constexpr uint64_t kAllOnes = ~uint64_t{0};

// --- numbers ---------------------------------------------------------------

// Binary exponents: 2^0 is 16383; doubles reach from 2^-1074 to below 2^1024.
constexpr int64_t kExponentOfOne = 16383;
constexpr int64_t kLowestExponent = -1074;
constexpr int64_t kHighestExponent = 1023;
constexpr int kSignificandBits = 79;

// A point of the number scale: exponent, significand (the leading one at
// bit 78) and the inexact flag.
struct GridPoint {
    uint32_t exponent;
    u128 significand;
    bool inexact;
};

// Where every number beyond the doubles' exponents goes: past the largest
// finite grid value, and between zero and the smallest.
constexpr GridPoint kTopOfScale{static_cast<uint32_t>(kExponentOfOne + kHighestExponent),
                                (static_cast<u128>(1) << kSignificandBits) - 1, true};
constexpr GridPoint kBottomOfScale{0, 0, true};

u128 pack(bool negative, GridPoint p) {
    const uint32_t raw = (p.exponent << 16) | static_cast<uint32_t>(p.significand >> 63);
    const uint64_t rest = (static_cast<uint64_t>(p.significand) << 1) | (p.inexact ? 1 : 0);
    if (negative) return (static_cast<u128>(~(raw | kZeroHead)) << 64) | ~rest;
    return (static_cast<u128>(raw | kZeroHead) << 64) | rest;
}

// The grid point at or below num / den (both nonzero).
GridPoint grid_point(const Limbs& num, const Limbs& den) {
    const int64_t k = binary_exponent(num, den);
    if (k > kHighestExponent) return kTopOfScale;
    if (k < kLowestExponent) return kBottomOfScale;
    const auto [significand, cut] = scaled_quotient(num, den, kSignificandBits - 1 - k);
    return {static_cast<uint32_t>(kExponentOfOne + k), significand, cut};
}

// The key of a number at grid point p; an inexact one carries its exact
// value (-1)^negative * num * 10^exp10 / den.
OrderedRef number_key(bool negative, GridPoint p, Limbs num, Limbs den, int64_t exp10) {
    auto key = std::make_unique<OrderedKey>();
    key->value_part = pack(negative, p);
    if (p.inexact) key->exact.emplace(ExactNumber{negative, std::move(num), std::move(den), exp10});
    return OrderedRef(key.release());
}

// --- dates and times -----------------------------------------------------

constexpr i128 kMicro = 1000000;
constexpr i128 kDayMicros = 86400 * kMicro;
// Added to values that may be negative so that they count up from zero.
constexpr i128 kAwareOrigin = static_cast<i128>(1) << 62;
constexpr i128 kDurationOrigin = static_cast<i128>(1) << 80;

u128 tagged(RangeFamily family, i128 payload) {
    return (static_cast<u128>(static_cast<uint32_t>(family) << 24) << 64) |
           static_cast<u128>(payload);
}

// Days from 0001-01-01 (day 1) in the proleptic Gregorian calendar.
i128 ordinal(CivilDate d) {
    static constexpr int before[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const i128 p = d.year - 1;
    const bool leap = d.year % 4 == 0 && (d.year % 100 != 0 || d.year % 400 == 0);
    return p * 365 + p / 4 - p / 100 + p / 400 + before[d.month] + (leap && d.month > 2 ? 1 : 0) +
           d.day;
}

i128 micros(ClockTime c) {
    return ((c.hour * 60 + c.minute) * 60 + c.second) * kMicro + c.microsecond;
}

i128 micros(Span s) {
    return (static_cast<i128>(s.days) * 86400 + s.seconds) * kMicro + s.microseconds;
}

}  // namespace

std::pair<u128, u128> family_span(u128 vp) {
    const uint32_t head = static_cast<uint32_t>(vp >> 64);
    if (head < 0xC4000000u) {
        return {static_cast<u128>(0x3C000000u) << 64,
                (static_cast<u128>(0xC3FFFFFFu) << 64) | kAllOnes};
    }
    const uint32_t tag = head & 0xFF000000u;
    return {static_cast<u128>(tag) << 64, (static_cast<u128>(tag | 0x00FFFFFFu) << 64) | kAllOnes};
}

OrderedRef key_of(u128 vp) {
    auto* key = new OrderedKey();
    key->value_part = vp;
    return OrderedRef(key);
}

u128 int_value_part(int64_t v) {
    if (v == 0) return kZero;
    // The magnitude in unsigned arithmetic, so that the smallest integer
    // maps to 2^63.
    const uint64_t m = v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    const int z = std::countl_zero(m);
    const u128 significand = static_cast<u128>(m << z) << (kSignificandBits - 64);
    return pack(v < 0, {static_cast<uint32_t>(kExponentOfOne + 63 - z), significand, false});
}

u128 double_value_part(double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const bool negative = (bits >> 63) != 0;
    const uint32_t e = static_cast<uint32_t>((bits >> 52) & 0x7FF);
    const uint64_t frac = bits & ((uint64_t{1} << 52) - 1);
    uint32_t exponent;
    uint64_t g;  // 52-bit significand with the leading one at bit 51
    if (e != 0) {
        // Infinities and NaNs take the exponent above every finite one.
        exponent = static_cast<uint32_t>(kExponentOfOne - 1023) + e;
        // The lowest fraction bit is dropped so that the significand lines
        // up with an integer's 63 bits after its leading one.
        g = (uint64_t{1} << 51) + (frac >> 1);
    } else if (frac != 0) {
        const int p = 63 - std::countl_zero(frac);  // highest set bit, 0..51
        exponent = static_cast<uint32_t>(kExponentOfOne + kLowestExponent + p);
        g = frac << (51 - p);
    } else {
        return kZero;  // +0.0 and -0.0
    }
    return pack(negative, {exponent, static_cast<u128>(g) << (kSignificandBits - 52), false});
}

OrderedRef ratio_key(bool negative, Limbs num, Limbs den) {
    if (num.empty()) return key_of(kZero);
    const GridPoint p = grid_point(num, den);
    return number_key(negative, p, std::move(num), std::move(den), 0);
}

bool decimal_within_doubles(int64_t adjusted) { return -325 < adjusted && adjusted < 309; }

OrderedRef far_decimal_key(bool negative, const uint8_t* digits, size_t digit_count,
                           int64_t exp10) {
    Limbs coefficient = limbs_of_digits(digits, digit_count);
    if (coefficient.empty()) return key_of(kZero);
    const bool above = static_cast<i128>(exp10) + static_cast<i128>(digit_count) - 1 > 0;
    return number_key(negative, above ? kTopOfScale : kBottomOfScale, std::move(coefficient),
                      Limbs{1}, exp10);
}

u128 decimal_special_value_part(bool negative, bool nan) {
    const double special =
        nan ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    return double_value_part(std::copysign(special, negative ? -1.0 : 1.0));
}

u128 date_value_part(CivilDate date) { return tagged(RangeFamily::Date, ordinal(date)); }

u128 datetime_value_part(CivilDate date, ClockTime clock, std::optional<Span> utc_offset) {
    const i128 at = ordinal(date) * kDayMicros + micros(clock);
    if (!utc_offset) return tagged(RangeFamily::NaiveDateTime, at);
    return tagged(RangeFamily::AwareDateTime, at - micros(*utc_offset) + kAwareOrigin);
}

u128 time_value_part(ClockTime clock, std::optional<Span> utc_offset) {
    if (!utc_offset) return tagged(RangeFamily::NaiveTime, micros(clock));
    return tagged(RangeFamily::AwareTime, micros(clock) - micros(*utc_offset) + kAwareOrigin);
}

u128 duration_value_part(Span span) {
    return tagged(RangeFamily::Duration, micros(span) + kDurationOrigin);
}

}  // namespace corvane
