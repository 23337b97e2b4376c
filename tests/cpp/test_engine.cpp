// The engine on its own: objects entered as snapshots, moved by assignment,
// selected by keyword filters and expressions, with no interpreter at all
// (values carry no Python object here).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/attr_list.hpp"
#include "engine/evaluate.hpp"
#include "engine/keyword_filter.hpp"
#include "engine/numeric_hash.hpp"
#include "engine/operations.hpp"
#include "engine/order.hpp"
#include "engine/query_map.hpp"

namespace corvane {
namespace {

PyValue num(int64_t i) { return PyValue::of_int(SharedRef(), i, static_cast<uint64_t>(i)); }
// The hash is the one Python gives (integral floats hash as the int).
PyValue real(double d, uint64_t hash = 0) { return PyValue::of_float(SharedRef(), d, hash); }
PyValue text(std::string_view s) { return PyValue::of_str(SharedRef(), s, s.size()); }

// Entries point at their own attribute list, so they are filled in place.
void fill(Entry& e, uint32_t id, std::vector<std::pair<std::string, PyValue>> attrs) {
    e.id = id;
    e.own().clear();
    for (auto& [name, value] : attrs) e.own().push_back(AttrName::intern(name), std::move(value));
}

std::vector<uint32_t> ids(const Bitmap& b) {
    std::vector<uint32_t> out;
    b.for_each([&](uint32_t id) { out.push_back(id); });
    return out;
}

QueryExpr compare(QueryExpr::Op op, std::string attr, PyValue v) {
    QueryExpr e;
    e.op = op;
    e.attr = std::move(attr);
    e.values.push_back(std::move(v));
    return e;
}

TEST(Engine, EntersSelectsAndFollowsAssignment) {
    IndexAPI index = IndexAPI::make();
    std::vector<Entry> batch(3);
    fill(batch[0], 1, {{"x", num(1)}, {"s", text("a")}});
    fill(batch[1], 2, {{"x", real(2.5)}, {"s", text("b")}, {"_h", num(9)}});
    fill(batch[2], 3, {{"x", num(7)}, {"s", text("a")}});
    add_object_many(index, batch);

    auto maps = index.attr_maps->read();
    auto members = index.member_ids->read();
    HashQuery by_s{{"s", {text("a")}}};
    EXPECT_EQ(ids(filter_index_by_hashes(*maps, by_s)), (std::vector<uint32_t>{1, 3}));
    HashQuery hidden{{"_h", {num(9)}}};
    EXPECT_TRUE(filter_index_by_hashes(*maps, hidden).empty());
    // 1 and 1.0 are one key; 2.5 is only found by range.
    HashQuery by_x{{"x", {real(1.0, 1), num(2)}}};
    EXPECT_EQ(ids(filter_index_by_hashes(*maps, by_x)), (std::vector<uint32_t>{1}));

    QueryExpr above = compare(QueryExpr::Op::Gt, "x", num(2));
    EXPECT_EQ(ids(evaluate_query(*maps, *members, above)), (std::vector<uint32_t>{2, 3}));
    QueryExpr both;
    both.op = QueryExpr::Op::And;
    both.exprs = {above, compare(QueryExpr::Op::Eq, "s", text("a"))};
    EXPECT_EQ(ids(evaluate_query(*maps, *members, both)), (std::vector<uint32_t>{3}));
    QueryExpr neither;
    neither.op = QueryExpr::Op::Not;
    neither.exprs = {both};
    EXPECT_EQ(ids(evaluate_query(*maps, *members, neither)), (std::vector<uint32_t>{1, 2}));
    maps.unlock();
    members.unlock();

    // Object 3 moves from 7 to 0: gone from ranges above 2, found at 0.
    {
        auto w = index.attr_maps->write();
        PyValue old = num(7);
        update_index(*w, "x", &old, num(0), 3, nullptr);
    }
    EXPECT_EQ(ids(reduced_query(index, above)), (std::vector<uint32_t>{2}));
    EXPECT_EQ(ids(reduced_query(index, compare(QueryExpr::Op::Le, "x", num(0)))),
              (std::vector<uint32_t>{3}));
}

// Texts in code point order, which is their UTF-8 byte order: around the
// ends of each encoded length, the surrogates' gap, the highest code point,
// a NUL, and texts sharing a long prefix.
using namespace std::string_view_literals;
const std::string_view kOrderedTexts[] = {
    "",
    "\0"sv,
    "ab",
    "abc",
    "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk",
    "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkka",
    "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkb",
    "\x7f",              // U+007F
    "\xc2\x80",          // U+0080
    "\xdf\xbf",          // U+07FF
    "\xe0\xa0\x80",      // U+0800
    "\xed\x9f\xbf",      // U+D7FF
    "\xee\x80\x80",      // U+E000
    "\xef\xbf\xbf",      // U+FFFF
    "\xf0\x90\x80\x80",  // U+10000
    "\xf4\x8f\xbf\xbf",  // U+10FFFF
    "\xf4\x8f\xbf\xbf"
    "a",
};

TEST(Engine, TextsOrderByCodePoint) {
    constexpr size_t n = std::size(kOrderedTexts);
    // Object i + 1 holds text i; they enter in a shuffled order.
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    IndexAPI index = IndexAPI::make();
    std::vector<Entry> batch(n + 1);
    for (size_t k = 0; k < n; ++k) {
        const size_t i = order[k];
        const std::string_view t = kOrderedTexts[i];
        fill(batch[k], static_cast<uint32_t>(i + 1), {{"t", text(t)}});
    }
    fill(batch[n], 100, {{"t", num(5)}});  // a number sorts before every text
    add_object_many(index, batch);
    auto maps = index.attr_maps->read();
    auto members = index.member_ids->read();

    std::vector<uint32_t> ascending{100};
    for (uint32_t i = 1; i <= n; ++i) ascending.push_back(i);
    EXPECT_EQ(ordered_by_attribute(*maps, "t", *members, false, SIZE_MAX), ascending);
    std::vector<uint32_t> descending(ascending.rbegin(), ascending.rend() - 1);
    descending.push_back(100);  // texts first when descending
    EXPECT_EQ(ordered_by_attribute(*maps, "t", *members, true, SIZE_MAX), descending);
    EXPECT_EQ(ordered_by_attribute(*maps, "t", *members, true, 2, 1),
              (std::vector<uint32_t>{static_cast<uint32_t>(n - 1), static_cast<uint32_t>(n - 2)}));

    for (size_t i = 0; i < n; ++i) {
        const std::string_view t = kOrderedTexts[i];
        std::vector<uint32_t> above, from;
        for (uint32_t j = static_cast<uint32_t>(i + 1); j <= n; ++j) {
            if (j > i + 1) above.push_back(j);
            from.push_back(j);
        }
        EXPECT_EQ(ids(evaluate_query(*maps, *members, compare(QueryExpr::Op::Gt, "t", text(t)))),
                  above)
            << i;
        // The planner's counts agree with the ranges, until their cap.
        const TextOrder& texts = maps->find("t")->second->texts;
        const auto& sets = maps->find("t")->second->exact;
        EXPECT_EQ(texts.count(sets, TextBound{t, false}, std::nullopt, n), above.size()) << i;
        EXPECT_EQ(texts.count(sets, std::nullopt, TextBound{t, true}, n), i + 1) << i;
        EXPECT_EQ(texts.count(sets, TextBound{t, true}, TextBound{t, true}, 1), 1u) << i;
        EXPECT_EQ(
            texts.count_prefixed(sets, t, n),
            ids(evaluate_query(*maps, *members, compare(QueryExpr::Op::StartsWith, "t", text(t))))
                .size())
            << i;
        QueryExpr between;
        between.op = QueryExpr::Op::Bt;
        between.attr = "t";
        between.values = {text(t), text(t)};
        EXPECT_EQ(ids(evaluate_query(*maps, *members, between)),
                  (std::vector<uint32_t>{static_cast<uint32_t>(i + 1)}))
            << i;
    }
    // A prefix selects the run of texts starting with it, whole code points
    // only: the highest code point with and without a letter after it.
    auto prefixed = [&](std::string_view p) {
        return ids(
            evaluate_query(*maps, *members, compare(QueryExpr::Op::StartsWith, "t", text(p))));
    };
    EXPECT_EQ(prefixed("\xf4\x8f\xbf\xbf"), (std::vector<uint32_t>{16, 17}));
    EXPECT_EQ(prefixed("kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk"),
              (std::vector<uint32_t>{5, 6, 7}));
    EXPECT_EQ(prefixed("ab"), (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(prefixed("").size(), n);
    const TextOrder& texts = maps->find("t")->second->texts;
    EXPECT_EQ(texts.count_prefixed(maps->find("t")->second->exact, "", 3), std::nullopt);
    EXPECT_EQ(texts.count(maps->find("t")->second->exact, std::nullopt, std::nullopt, n - 1),
              std::nullopt);
    EXPECT_TRUE(prefixed("\xf4\x8f\xbf\xbf"
                         "b")
                    .empty());
    // A number bound never selects a text, nor a text bound a number.
    EXPECT_EQ(ids(evaluate_query(*maps, *members, compare(QueryExpr::Op::Gt, "t", num(0)))),
              (std::vector<uint32_t>{100}));
    EXPECT_EQ(ids(evaluate_query(*maps, *members, compare(QueryExpr::Op::Lt, "t", text("a")))),
              (std::vector<uint32_t>{1, 2}));
}

TEST(Engine, NarrowKeepsSelectedEqualityEntriesOnly) {
    IndexAPI index = IndexAPI::make();
    Entry a, b;
    fill(a, 1, {{"k", num(0)}});
    fill(b, 2, {{"k", num(1)}});
    add_object(index, a);
    add_object(index, b);
    auto maps = index.attr_maps->write();
    Bitmap keep;
    keep.add(2);
    narrow(*maps, keep);
    HashQuery any{{"k", {num(0), num(1)}}};
    EXPECT_EQ(ids(filter_index_by_hashes(*maps, any)), (std::vector<uint32_t>{2}));
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// A stand-in object for a value: the engine only compares and hands back
// its address (no release hook is installed, so nothing is released).
PyValue object_value(uintptr_t tag) {
    return PyValue::of_other(SharedRef(adopt, reinterpret_cast<PyObject*>(tag << 4)), tag);
}

std::string label(char c, size_t i) {
    std::string s(1, c);
    s += std::to_string(i);
    return s;
}

using Expected = std::vector<std::pair<AttrName, uintptr_t>>;

// Every position agrees on name and value object, through indexing,
// iteration, lookup and the pairs kept in place.
void expect_list(const AttrList& list, const Expected& want, size_t n, const char* what) {
    SCOPED_TRACE(testing::Message() << "list of " << n << ", " << what);
    ASSERT_EQ(list.size(), want.size());
    ASSERT_EQ(list.in_place(), std::min(want.size(), AttrList::kInPlace));
    size_t i = 0;
    for (const auto& [name, value] : list) {
        PyObject* obj = reinterpret_cast<PyObject*>(want[i].second << 4);
        EXPECT_TRUE(name == want[i].first) << i;
        EXPECT_EQ(value.object(), obj) << i;
        EXPECT_EQ(list.index_of(want[i].first), i);
        if (i < list.in_place()) {
            EXPECT_TRUE(list.slot(i).name == want[i].first) << i;
            EXPECT_EQ(list.slot(i).object, obj) << i;
        }
        ++i;
    }
    EXPECT_EQ(i, want.size());
}

// The pairs kept in place follow every way a list changes, below, at and
// past the number kept.
TEST(AttrList, PairsInPlaceFollowEveryChange) {
    uintptr_t next = 1;
    for (size_t n = 1; n <= 10; ++n) {
        AttrList list;
        if (n % 2 == 0) list.reserve(n);
        Expected want;
        for (size_t i = 0; i < n; ++i) {
            want.emplace_back(AttrName::intern(label('a', i)), next++);
            list.push_back(want.back().first, object_value(want.back().second));
        }
        expect_list(list, want, n, "pushed");
        EXPECT_EQ(list.index_of(AttrName::intern("missing")), AttrList::npos);

        for (size_t i = 0; i < n; i += 1 + i % 2) {
            uintptr_t old = want[i].second;
            want[i].second = next++;
            PyValue replaced = list.replace(i, object_value(want[i].second));
            EXPECT_EQ(replaced.object(), reinterpret_cast<PyObject*>(old << 4));
        }
        expect_list(list, want, n, "replaced");

        AttrList copy(list);
        expect_list(copy, want, n, "copied");
        AttrList moved(std::move(copy));
        expect_list(moved, want, n, "moved");
        expect_list(copy, {}, n, "moved from");

        // Swap with a list of another size, and assign across sizes.
        AttrList other;
        Expected other_want;
        for (size_t i = 0; i < 11 - n; ++i) {
            other_want.emplace_back(AttrName::intern(label('b', i)), next++);
            other.push_back(other_want.back().first, object_value(other_want.back().second));
        }
        moved.swap(other);
        expect_list(moved, other_want, n, "swapped in");
        expect_list(other, want, n, "swapped out");
        moved = other;
        expect_list(moved, want, n, "assigned");
        other = AttrList();
        expect_list(other, {}, n, "emptied");

        list.clear();
        expect_list(list, {}, n, "cleared");
        // A cleared list fills again from its first position.
        want.resize(n / 2);
        for (auto& w : want) list.push_back(w.first, object_value(w.second = next++));
        expect_list(list, want, n, "refilled");
    }
}

std::vector<uintptr_t>* released_log = nullptr;
void log_release(PyObject* obj) noexcept {
    released_log->push_back(reinterpret_cast<uintptr_t>(obj));
}

// Counts come from a pool of slabs that go back once empty: handles taken
// and dropped in any order, over many slabs and chunks, each release
// exactly one object exactly once (two live handles never share a count).
TEST(SharedRef, CountsSurviveManySlabsDroppedInAnyOrder) {
    std::vector<uintptr_t> released;
    released_log = &released;
    InterpreterHooks saved = interpreter_hooks;
    interpreter_hooks.release = log_release;
    std::mt19937 rng(7);
    for (int round = 0; round < 3; ++round) {
        const size_t n = 600'000;
        std::vector<SharedRef> refs;
        refs.reserve(n + n / 4);
        for (size_t i = 0; i < n; ++i)
            refs.emplace_back(adopt, reinterpret_cast<PyObject*>(uintptr_t{i + 1} << 4));
        for (size_t i = 0; i < n; i += 4) refs.push_back(refs[i]);  // a second holder
        std::shuffle(refs.begin(), refs.end(), rng);
        released.clear();
        // Drop most, then take fresh ones into the freed cells, then drop all.
        refs.resize(refs.size() / 8);
        for (size_t i = 0; i < n / 2; ++i)
            refs.emplace_back(adopt, reinterpret_cast<PyObject*>(uintptr_t{n + i + 1} << 4));
        refs.clear();
        std::sort(released.begin(), released.end());
        ASSERT_EQ(released.size(), n + n / 2) << "round " << round;
        for (size_t i = 0; i < released.size(); ++i) ASSERT_EQ(released[i], uintptr_t{i + 1} << 4);
    }
    interpreter_hooks = saved;
    released_log = nullptr;
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Hashes as Python gives them (`hash(x)` on a 64-bit build).
TEST(NumericHash, IntsAndDoublesHashAsPythonDoes) {
    EXPECT_EQ(int_hash(0), 0);
    EXPECT_EQ(int_hash(-1), -2);  // -1 is the error value
    EXPECT_EQ(int_hash(-2), -2);
    EXPECT_EQ(int_hash((int64_t{1} << 61) - 1), 0);
    EXPECT_EQ(int_hash(int64_t{1} << 61), 1);
    EXPECT_EQ(int_hash(INT64_MAX), 3);
    EXPECT_EQ(int_hash(INT64_MIN), -4);
    EXPECT_EQ(double_hash(0.0), 0);
    EXPECT_EQ(double_hash(-0.0), 0);
    EXPECT_EQ(double_hash(-1.0), -2);
    EXPECT_EQ(double_hash(0.5), int64_t{1} << 60);
    EXPECT_EQ(double_hash(-2.5), -1152921504606846978);
    EXPECT_EQ(double_hash(0x1p70), 512);
    EXPECT_EQ(double_hash(5e-324), 16777216);
    EXPECT_EQ(double_hash(1e300), 1224995262755759164);
    EXPECT_EQ(double_hash(HUGE_VAL), 314159);
    EXPECT_EQ(double_hash(-HUGE_VAL), -314159);
    EXPECT_FALSE(double_hash(std::nan("")).has_value());
    // An integral double hashes as the int it equals.
    for (int64_t x : {int64_t{7}, int64_t{-123456789}, int64_t{1} << 53, -(int64_t{1} << 62)})
        EXPECT_EQ(double_hash(static_cast<double>(x)), int_hash(x)) << x;
}

}  // namespace
}  // namespace corvane
