#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "structures/range_key.hpp"

using namespace corvane;

namespace {

// One key of the table, as Python would write its value.
struct Row {
    std::string python;
    OrderedRef key;
    // Equal to the row before (a tie in Python's order).
    bool tie = false;
};

Limbs digits(const std::string& decimal) {
    std::vector<uint8_t> d;
    for (char c : decimal) d.push_back(static_cast<uint8_t>(c - '0'));
    return limbs_of_digits(d.data(), d.size());
}

Limbs power_of_two(unsigned n) {
    Limbs out(n / 32 + 1, 0);
    out.back() = uint32_t{1} << (n % 32);
    return out;
}

Limbs plus(Limbs x, uint32_t small) {
    x.front() += small;  // no carry in the values below
    return x;
}

Row Int(int64_t v) { return {std::to_string(v), key_of(int_value_part(v))}; }
Row Float(const std::string& python, double v) { return {python, key_of(double_value_part(v))}; }
Row BigInt(const std::string& python, bool negative, Limbs magnitude) {
    return {python, ratio_key(negative, std::move(magnitude), Limbs{1})};
}
Row Fraction(const std::string& python, bool negative, Limbs num, Limbs den) {
    return {python, ratio_key(negative, std::move(num), std::move(den))};
}
// Decimal(sign + coefficient + "E" + exp10), keyed as the binding keys it:
// within the doubles by its ratio (here not reduced: the key is the same).
Row Decimal(bool negative, const std::string& coefficient, int64_t exp10) {
    const std::string python = "Decimal('" + std::string(negative ? "-" : "") + coefficient + "E" +
                               std::to_string(exp10) + "')";
    std::vector<uint8_t> d;
    for (char c : coefficient) d.push_back(static_cast<uint8_t>(c - '0'));
    if (!decimal_within_doubles(exp10 + static_cast<int64_t>(d.size()) - 1))
        return {python, far_decimal_key(negative, d.data(), d.size(), exp10)};
    const std::string power =
        "1" + std::string(static_cast<size_t>(exp10 < 0 ? -exp10 : exp10), '0');
    if (exp10 >= 0)
        return {python, ratio_key(negative, digits(coefficient + power.substr(1)), Limbs{1})};
    return {python, ratio_key(negative, digits(coefficient), digits(power))};
}
Row DecimalSpecial(const std::string& python, bool negative, bool nan) {
    return {python, key_of(decimal_special_value_part(negative, nan))};
}
Row Date(CivilDate d) {
    return {std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day),
            key_of(date_value_part(d))};
}
Row DateTime(const std::string& python, CivilDate d, ClockTime c,
             std::optional<Span> offset = std::nullopt) {
    return {python, key_of(datetime_value_part(d, c, offset))};
}
Row Time(const std::string& python, ClockTime c, std::optional<Span> offset = std::nullopt) {
    return {python, key_of(time_value_part(c, offset))};
}
Row Duration(const std::string& python, Span s) { return {python, key_of(duration_value_part(s))}; }

Row tie(Row r) {
    r.tie = true;
    return r;
}

// -1, 0 or 1 as key a sorts below, with or above key b: value parts first,
// exact values where both carry one (then they share the value part).
int compare(const OrderedKey& a, const OrderedKey& b) {
    if (a.value_part != b.value_part) return a.value_part < b.value_part ? -1 : 1;
    if (a.exact && b.exact) return compare_exact(*a.exact, *b.exact);
    return 0;
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

// Every ordered family in ascending order as Python sorts it, families in
// the order of their tags (numbers, naive datetimes, aware datetimes, dates,
// naive times, aware times, timedeltas).  A NaN sits beyond the infinities.
TEST(RangeKey, KeysSortAsPythonSorts) {
    const Limbs two_63 = power_of_two(63);
    const Limbs two_80 = power_of_two(80);
    const std::vector<std::vector<Row>> families = {
        {
            Float("float('-inf')", -kInf),
            tie(DecimalSpecial("Decimal('-Infinity')", true, false)),
            Decimal(true, "1", 400),
            BigInt("-2**1100", true, power_of_two(1100)),
            Fraction("Fraction(-2 * 10**308)", true, digits("2" + std::string(308, '0')), Limbs{1}),
            Float("-1.7976931348623157e308", -1.7976931348623157e308),
            BigInt("-2**63 - 1", true, plus(two_63, 1)),
            Int(std::numeric_limits<int64_t>::min()),
            tie(Float("-2.0**63", -9223372036854775808.0)),
            tie(Fraction("Fraction(-2**63)", true, two_63, Limbs{1})),
            Float("-1.5", -1.5),
            tie(Decimal(true, "15", -1)),
            tie(Fraction("Fraction(-3, 2)", true, Limbs{3}, Limbs{2})),
            Int(-1),
            tie(Decimal(true, "1000", -3)),
            Fraction("Fraction(-1, 3)", true, Limbs{1}, Limbs{3}),
            Decimal(true, "3333333333333333333333", -22),
            Float("-5e-324", -5e-324),
            Fraction("Fraction(-1, 2**1100)", true, Limbs{1}, power_of_two(1100)),
            Decimal(true, "1", -400),
            Int(0),
            tie(Float("-0.0", -0.0)),
            tie(Decimal(false, "0", 0)),
            tie(Decimal(true, "0", 500)),
            tie(Fraction("Fraction(0)", false, Limbs{}, Limbs{1})),
            Decimal(false, "1", -400),
            Fraction("Fraction(1, 2**1100)", false, Limbs{1}, power_of_two(1100)),
            Float("5e-324", 5e-324),
            tie(Fraction("Fraction(1, 2**1074)", false, Limbs{1}, power_of_two(1074))),
            Fraction("Fraction(1, 10)", false, Limbs{1}, Limbs{10}),
            tie(Decimal(false, "1", -1)),
            Float("0.1", 0.1),
            Fraction("Fraction(1, 3)", false, Limbs{1}, Limbs{3}),
            Int(1),
            tie(Float("1.0", 1.0)),
            tie(Decimal(false, "10", -1)),
            tie(BigInt("1 (as a big int)", false, Limbs{1})),
            Int(9007199254740992),
            tie(Float("2.0**53", 9007199254740992.0)),
            Int(9007199254740993),
            Fraction("Fraction(2**54 + 3, 2)", false, plus(power_of_two(54), 3), Limbs{2}),
            Int(std::numeric_limits<int64_t>::max()),
            BigInt("2**63", false, two_63),
            tie(Float("2.0**63", 9223372036854775808.0)),
            BigInt("2**63 + 1", false, plus(two_63, 1)),
            BigInt("2**80", false, two_80),
            BigInt("2**80 + 1", false, plus(two_80, 1)),
            BigInt("2**80 + 3", false, plus(two_80, 3)),
            tie(Decimal(false, "1208925819614629174706179", 0)),
            BigInt("2**80 + 4", false, plus(two_80, 4)),
            Float("1.7976931348623157e308", 1.7976931348623157e308),
            Fraction("Fraction(2 * 10**308)", false, digits("2" + std::string(308, '0')), Limbs{1}),
            Decimal(false, "1", 309),
            tie(Decimal(false, "1000", 306)),
            BigInt("2**1100", false, power_of_two(1100)),
            Decimal(false, "1", 400),
            Float("float('inf')", kInf),
            tie(DecimalSpecial("Decimal('Infinity')", false, false)),
            Float("float('nan')", kNaN),
            tie(DecimalSpecial("Decimal('NaN')", false, true)),
        },
        {
            DateTime("datetime(1, 1, 1)", {1, 1, 1}, {0, 0, 0, 0}),
            DateTime("datetime(2020, 2, 29, 23, 59, 59, 999999)", {2020, 2, 29},
                     {23, 59, 59, 999999}),
            DateTime("datetime(2020, 3, 1)", {2020, 3, 1}, {0, 0, 0, 0}),
            DateTime("datetime.max", {9999, 12, 31}, {23, 59, 59, 999999}),
        },
        {
            DateTime("datetime(1, 1, 1, tzinfo=+23:59)", {1, 1, 1}, {0, 0, 0, 0},
                     Span{0, 86340, 0}),
            DateTime("datetime(2020, 1, 1, 10, tzinfo=+05:00)", {2020, 1, 1}, {10, 0, 0, 0},
                     Span{0, 18000, 0}),
            DateTime("datetime(2020, 1, 1, 7, tzinfo=+01:00)", {2020, 1, 1}, {7, 0, 0, 0},
                     Span{0, 3600, 0}),
            tie(DateTime("datetime(2020, 1, 1, 6, tzinfo=UTC)", {2020, 1, 1}, {6, 0, 0, 0},
                         Span{0, 0, 0})),
            tie(DateTime("datetime(2019, 12, 31, 23, tzinfo=-07:00)", {2019, 12, 31}, {23, 0, 0, 0},
                         Span{-1, 61200, 0})),
            DateTime("datetime.max with tzinfo=-23:59", {9999, 12, 31}, {23, 59, 59, 999999},
                     Span{-1, 60, 0}),
        },
        {
            Date({1, 1, 1}),
            Date({1900, 2, 28}),
            Date({1900, 3, 1}),
            Date({2000, 2, 29}),
            Date({2000, 3, 1}),
            Date({9999, 12, 31}),
        },
        {
            Time("time(0)", {0, 0, 0, 0}),
            Time("time(0, 0, 0, 1)", {0, 0, 0, 1}),
            Time("time(12, 30)", {12, 30, 0, 0}),
            Time("time(23, 59, 59, 999999)", {23, 59, 59, 999999}),
        },
        {
            Time("time(1, tzinfo=+02:00)", {1, 0, 0, 0}, Span{0, 7200, 0}),
            Time("time(0, tzinfo=UTC)", {0, 0, 0, 0}, Span{0, 0, 0}),
            tie(Time("time(5, tzinfo=+05:00)", {5, 0, 0, 0}, Span{0, 18000, 0})),
            Time("time(23, 59, 59, 999999, tzinfo=-23:59)", {23, 59, 59, 999999}, Span{-1, 60, 0}),
        },
        {
            Duration("timedelta.min", {-999999999, 0, 0}),
            Duration("timedelta(microseconds=-1)", {-1, 86399, 999999}),
            Duration("timedelta(0)", {0, 0, 0}),
            tie(Duration("timedelta(days=1, seconds=-86400)", {1, -86400, 0})),
            Duration("timedelta(microseconds=1)", {0, 0, 1}),
            Duration("timedelta.max", {999999999, 86399, 999999}),
        },
    };
    // Rank every row: ties share the rank of the row before.
    struct Ranked {
        const Row* row;
        size_t family;
        int rank;
    };
    std::vector<Ranked> all;
    int rank = 0;
    for (size_t f = 0; f < families.size(); ++f) {
        for (const Row& row : families[f]) {
            ASSERT_NE(row.key.get(), nullptr) << row.python;
            rank += row.tie ? 0 : 1;
            all.push_back({&row, f, rank});
        }
    }
    for (const Ranked& a : all) {
        for (const Ranked& b : all) {
            const int want = a.rank < b.rank ? -1 : a.rank > b.rank ? 1 : 0;
            EXPECT_EQ(compare(*a.row->key.get(), *b.row->key.get()), want)
                << a.row->python << " vs " << b.row->python;
            EXPECT_EQ(family_span(a.row->key.get()->value_part) ==
                          family_span(b.row->key.get()->value_part),
                      a.family == b.family)
                << a.row->python << " vs " << b.row->python;
        }
    }
}
