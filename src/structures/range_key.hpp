// The keys of ordered values: one order-preserving encoding, as the range
// tree's 96-bit value parts, for every family of values that have an order.
//
// Value parts are laid out by family, and values of two families never
// compare (see `RangeFamily`).
// * Numbers of every type share one scale: sign, a 15-bit binary exponent
//   (16383 stands for 2^0), 79 significand bits from the leading one, and
//   the inexact flag as the lowest bit; negative numbers complement all of
//   it.  An int within 64 bits and a double always fit.  A number that does
//   not (a big int, a Fraction, a Decimal) is keyed by the largest grid value
//   below it with the inexact flag set and carries its exact value (see
//   exact_number.hpp).  Beyond the doubles' exponents every number is
//   inexact and sits at an end of the scale.  Equal numbers of any type get
//   the same value part.
// * Each other family counts its values from a fixed origin in the 88 bits
//   below its tag: datetimes microseconds from 0001-01-01, dates days,
//   times microseconds from midnight, durations microseconds.  Aware
//   datetimes and times subtract their UTC offset and form families of their
//   own, apart from the naive ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "structures/exact_number.hpp"

namespace corvane {

// Numbers take heads 0x3C000000 to 0xC3FFFFFF; each other family takes the
// heads whose top byte is its tag.  A new family takes a free tag above
// 0xC3 and keys its values in the 88 bits below it (or, when they do not
// fit, by a value part with the inexact flag and an exact value beside it,
// as numbers do); `family_span` needs no change for it.
enum class RangeFamily : uint8_t {
    Number = 0,
    NaiveDateTime = 0xC8,
    AwareDateTime = 0xC9,
    Date = 0xCA,
    NaiveTime = 0xCB,
    AwareTime = 0xCC,
    Duration = 0xCD,
};

// The lowest and highest value parts of the family of value part vp.
std::pair<u128, u128> family_span(u128 vp);

// --- numbers ---------------------------------------------------------------

u128 int_value_part(int64_t v);
u128 double_value_part(double v);

// The key of (-1)^negative * num / den (den nonzero; num empty for zero).
OrderedRef ratio_key(bool negative, Limbs num, Limbs den);

// A decimal whose adjusted exponent (that of its leading digit) lies within
// those of the doubles is keyed by its ratio (`ratio_key`); beyond them, by
// `far_decimal_key`, at an end of the scale with its exact value:
// coefficient * 10^exp10, the coefficient given by its `digit_count`
// digits (0 to 9, most significant first).
bool decimal_within_doubles(int64_t adjusted);
OrderedRef far_decimal_key(bool negative, const uint8_t* digits, size_t digit_count, int64_t exp10);

// The value part of a decimal infinity or quiet NaN: that of the float one
// of the same sign.
u128 decimal_special_value_part(bool negative, bool nan);

// --- dates, times and durations ------------------------------------------

struct CivilDate {
    int64_t year;
    int64_t month;
    int64_t day;
};

struct ClockTime {
    int64_t hour;
    int64_t minute;
    int64_t second;
    int64_t microsecond;
};

// A signed span, as days, seconds and microseconds (each of any sign).
struct Span {
    int64_t days;
    int64_t seconds;
    int64_t microseconds;
};

// The value parts of a date, of a datetime and of a time, naive without an
// offset from UTC, aware with one, and of a duration.
u128 date_value_part(CivilDate date);
u128 datetime_value_part(CivilDate date, ClockTime clock, std::optional<Span> utc_offset);
u128 time_value_part(ClockTime clock, std::optional<Span> utc_offset);
u128 duration_value_part(Span span);

// A new key holding value part vp alone.
OrderedRef key_of(u128 vp);

}  // namespace corvane
