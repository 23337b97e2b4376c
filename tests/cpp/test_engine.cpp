// The engine on its own: objects entered as snapshots, moved by assignment,
// selected by keyword filters and expressions, with no interpreter at all
// (values carry no Python object here).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/evaluate.hpp"
#include "engine/keyword_filter.hpp"
#include "engine/operations.hpp"
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
    e.owned.clear();
    for (auto& [name, value] : attrs) e.owned.push_back(AttrName::intern(name), std::move(value));
    e.attrs = &e.owned;
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

std::vector<uintptr_t>* released_log = nullptr;
void log_release(PyObject* obj) noexcept { released_log->push_back(reinterpret_cast<uintptr_t>(obj)); }

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
