// The store, the pool of counts and the value map against plain references
// (std::map, std::set), their validators run after every step; and the
// validators themselves catching invariants broken on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/handle.hpp"
#include "engine/operations.hpp"
#include "engine/query_map.hpp"
#include "engine/store.hpp"
#include "scalar_value.hpp"

namespace corvane {
namespace {

PyObject* fake_object(uintptr_t tag) { return reinterpret_cast<PyObject*>(tag << 4); }

// The message of the internal failure `f` raises, or "" when it passes.
template <class F>
std::string failure_of(F&& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.message();
    }
    return "";
}

#define EXPECT_BROKEN(call, fragment)                                      \
    do {                                                                   \
        std::string message_ = failure_of([&] { call; });                  \
        EXPECT_NE(message_.find(fragment), std::string::npos) << message_; \
    } while (0)

// Ids far apart (other blocks) and close together (one page), put and
// taken in random order: the store answers as a map does, and its pages and
// blocks come and go with the objects.
TEST(Store, AnswersAsAMapAndKeepsItsCounts) {
    std::mt19937 rng(11);
    Store store;
    std::map<uint32_t, PyObject*> want;
    std::vector<uint32_t> pool;
    for (uint32_t i = 0; i < 300; ++i) pool.push_back(i);
    for (uint32_t i = 0; i < 100; ++i) pool.push_back((1u << 20) * (1 + i % 3) + i * 977);
    size_t end = 0;
    for (int step = 0; step < 4000; ++step) {
        const uint32_t id = pool[rng() % pool.size()];
        if (rng() % 3 != 0) {
            PyObject* obj = fake_object(step + 1);
            store.put(id, SharedRef(adopt, obj));
            want[id] = obj;
            end = std::max<size_t>(end, size_t{id} + 1);
        } else {
            StoredItem item = store.take(id);
            auto it = want.find(id);
            ASSERT_EQ(item.get(), it == want.end() ? nullptr : it->second) << step;
            if (it != want.end()) want.erase(it);
        }
        ASSERT_EQ(failure_of([&] { store.validate(); }), "") << step;
        ASSERT_EQ(store.count(), want.size());
        ASSERT_EQ(store.size(), end);
        ASSERT_EQ(store.get(id), want.count(id) ? want[id] : nullptr);
    }
    using Listing = std::vector<std::pair<uint32_t, PyObject*>>;
    Listing listed;
    store.for_each_id([&](uint32_t id, PyObject* obj) { listed.emplace_back(id, obj); });
    EXPECT_EQ(listed, Listing(want.begin(), want.end()));
    for (const auto& [id, obj] : want) store.take(id);
    EXPECT_EQ(failure_of([&] { store.validate(); }), "");
    EXPECT_EQ(store.count(), 0u);
}

// Counts taken and dropped in random order, shared by copies, some taken
// through a reserve (of any size, with an inner one now and then): the pool
// stays sound and counts exactly the counts alive once each reserve ends.
TEST(CountPool, StaysSoundThroughRandomTakesAndDrops) {
    const CountPoolCensus before = validate_count_pool();
    if (!before.pooled) GTEST_SKIP() << "counts come from the heap in this build";
    std::mt19937 rng(5);
    std::vector<SharedRef> refs;
    std::multiset<uintptr_t> distinct;  // one per count alive
    uintptr_t next = 1;
    for (int step = 0; step < 60; ++step) {
        const size_t grow = rng() % 20000;
        const auto take = [&] {
            for (size_t i = 0; i < grow; ++i) {
                if (!refs.empty() && rng() % 4 == 0) {
                    refs.push_back(refs[rng() % refs.size()]);  // a second handle, no new count
                } else {
                    refs.emplace_back(adopt, fake_object(next));
                    distinct.insert(next++);
                }
            }
        };
        if (step % 3 == 0) {
            CountReserve reserve(rng() % 700);
            std::optional<CountReserve> inner;
            if (step % 2 == 0) inner.emplace(rng() % 10);
            take();
        } else {
            take();
        }
        std::shuffle(refs.begin(), refs.end(), rng);
        refs.resize(refs.size() - std::min(refs.size(), static_cast<size_t>(rng() % 25000)));
        std::set<PyObject*> alive;
        for (const SharedRef& r : refs) alive.insert(r.get());
        const CountPoolCensus now = validate_count_pool();
        ASSERT_EQ(now.live, before.live + alive.size()) << step;
        ASSERT_GE(now.chunks, 1u);
    }
    refs.clear();
    const CountPoolCensus after = validate_count_pool();
    EXPECT_EQ(after.live, before.live);
    EXPECT_LE(after.chunks, std::max<size_t>(before.chunks, 1));
}

// ---------------------------------------------------------------- value map

// A value of the reference: a number (ints and integral floats are one
// key), a text, or nothing.
struct Ref {
    enum Kind { Int, Float, Text } kind;
    double num = 0;
    const char* text = "";

    bool operator<(const Ref& o) const {
        if ((kind == Text) != (o.kind == Text)) return kind != Text;
        return kind == Text ? std::string(text) < o.text : num < o.num;
    }
    reference::Scalar scalar() const {
        return kind == Int     ? reference::Scalar::Int
               : kind == Float ? reference::Scalar::Float
                               : reference::Scalar::Text;
    }
    uint64_t hash() const { return reference::scalar_hash(scalar(), num, text); }
    PyValue value() const { return reference::scalar_value(scalar(), num, text); }
};

const char* const kTexts[] = {"a", "b", "abc", ""};

Ref random_ref(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0: return Ref{Ref::Text, 0, kTexts[rng() % 4]};
        case 1: return Ref{Ref::Float, static_cast<double>(static_cast<int>(rng() % 13) - 6) / 2};
        default: return Ref{Ref::Int, static_cast<double>(static_cast<int>(rng() % 9) - 4)};
    }
}

// Random insertions, withdrawals and merges of one map against a reference
// of what each id holds; after every step the map validates, its value sets
// list exactly the ids of each key, and every range query answers as the
// reference.
TEST(QueryMapModel, FollowsAReferenceOfValuesAndRanges) {
    std::mt19937 rng(23);
    QueryMap map(0);
    std::map<uint32_t, PyValue> holds;  // what each member holds (its current value)
    std::map<uint32_t, Ref> refs;
    Bitmap members;
    auto check = [&](int step) {
        MapContext context{
            &members, true, true, 0, [&](uint32_t id) { return HeldValue{true, &holds.at(id)}; },
            nullptr,  {}};
        ASSERT_EQ(failure_of([&] { map.validate(context); }), "") << step;
        std::map<Ref, std::set<uint32_t>> by_key;
        for (const auto& [id, r] : refs) by_key[r].insert(id);
        ASSERT_EQ(map.exact.size(), by_key.size()) << step;
        for (const auto& [r, ids] : by_key) {
            auto it = map.exact.find(r.value());
            ASSERT_NE(it, map.exact.end()) << step;
            std::set<uint32_t> got;
            it->second.for_each([&](uint32_t id) { got.insert(id); });
            ASSERT_EQ(got, ids) << step;
        }
        const double lo = static_cast<double>(static_cast<int>(rng() % 11) - 5) / 2;
        Bitmap got = map.ranged->settled().query_range(Bound::included(RangeValue::of_float(lo)),
                                                       Bound::unbounded(), members);
        Bitmap want;
        for (const auto& [id, r] : refs)
            if (r.kind != Ref::Text && r.num >= lo) want.add(id);
        ASSERT_TRUE(got == want) << step << " from " << lo;
    };
    for (int step = 0; step < 3000; ++step) {
        const auto id = static_cast<uint32_t>(1 + rng() % 200);
        const unsigned what = rng() % 10;
        if (what < 5) {
            // Assignment: withdraw what the id holds, then enter the new value.
            Ref r = random_ref(rng);
            if (holds.count(id)) map.withdraw(holds.at(id), id);
            holds[id] = r.value();
            refs[id] = r;
            members.add(id);
            map.insert(holds[id], id, nullptr, nullptr);
        } else if (what < 8 && holds.count(id)) {
            map.withdraw(holds.at(id), id);
            holds.erase(id);
            refs.erase(id);
            members.remove(id);
        } else if (what == 8) {
            // Entering a member again changes nothing.
            for (const auto& [held_id, value] : holds) map.insert(value, held_id, nullptr, nullptr);
        } else {
            // A map of some members and some new ids merged in.
            QueryMap other(0);
            for (int i = 0; i < 20; ++i) {
                const auto other_id = static_cast<uint32_t>(1 + rng() % 200);
                if (!holds.count(other_id)) {
                    Ref r = random_ref(rng);
                    holds[other_id] = r.value();
                    refs[other_id] = r;
                    members.add(other_id);
                }
                other.insert(holds.at(other_id), other_id, nullptr, nullptr);
            }
            map.merge(other, nullptr);
        }
        check(step);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// A map with ids 1 (holding 5) and 2 (holding "a"), members 1 and 2.
struct SmallMap {
    QueryMap map{0};
    Bitmap members;
    PyValue five = PyValue::of_int(SharedRef(), 5, 5);
    PyValue text = PyValue::of_str(SharedRef(), "a", 97);

    SmallMap() {
        map.insert(five, 1, nullptr, nullptr);
        map.insert(text, 2, nullptr, nullptr);
        members.add(1);
        members.add(2);
    }
    MapContext context(bool complete = true) const {
        return MapContext{&members, complete, true, 0, {}, nullptr, {}};
    }
};

TEST(QueryMapValidate, NamesTheFirstBrokenInvariant) {
    {
        SmallMap m;
        EXPECT_EQ(failure_of([&] { m.map.validate(m.context()); }), "");
        m.members.remove(2);
        EXPECT_BROKEN(m.map.validate(m.context()), "holds id 2, not a member");
    }
    {
        SmallMap m;
        m.map.exact.find(m.text)->second.add(1);
        EXPECT_BROKEN(m.map.validate(m.context()), "id 1 is in the value set of");
    }
    {
        SmallMap m;
        m.map.exact.find(m.five)->second.add(1);  // the inline form takes it twice
        EXPECT_BROKEN(m.map.validate(m.context()), "lists id 1 twice");
    }
    {
        // A range pair whose value set is gone: fine after narrowing, not
        // in a map never narrowed.
        SmallMap m;
        m.map.exact.find(m.five)->second.remove(1);
        EXPECT_EQ(failure_of([&] { m.map.validate(m.context(false)); }), "");
        EXPECT_BROKEN(m.map.validate(m.context(true)), "is empty");
        m.map.exact.erase(m.five);
        EXPECT_BROKEN(m.map.validate(m.context(true)),
                      "id 1 has a range pair but is in no value set");
    }
    {
        SmallMap m;
        m.map.ranged->insert(RangeValue::of_int(6), 1);
        EXPECT_BROKEN(m.map.validate(m.context()), "id 1 has two range pairs");
    }
    {
        SmallMap m;
        m.map.ranged->insert(RangeValue::of_int(6), 2);
        EXPECT_BROKEN(m.map.validate(m.context()), "id 2 has a range pair that its value");
    }
    {
        // NaNs hashing alike are one key, each with the pair of its own
        // sign; the pair must still be the one of the value held.
        SmallMap m;
        PyValue nan = PyValue::of_float(SharedRef(), std::nan(""), 0);
        PyValue negative_nan = PyValue::of_float(SharedRef(), -std::nan(""), 0);
        m.map.insert(nan, 3, nullptr, nullptr);
        m.map.insert(negative_nan, 4, nullptr, nullptr);
        m.members.add(3);
        m.members.add(4);
        ASSERT_EQ(m.map.exact.find(nan)->second.cardinality(), 2u);
        MapContext c = m.context();
        c.held = [&](uint32_t id) {
            return HeldValue{true, id == 1   ? &m.five
                                   : id == 2 ? &m.text
                                   : id == 3 ? &nan
                                             : &negative_nan};
        };
        EXPECT_EQ(failure_of([&] { m.map.validate(c); }), "");
        c.held = [&](uint32_t id) {
            return HeldValue{true, id == 1 ? &m.five : id == 2 ? &m.text : &nan};
        };
        EXPECT_BROKEN(m.map.validate(c), "has another range pair");
    }
    {
        // What the objects hold now: id 1 moved to 6 without the map.
        SmallMap m;
        PyValue six = PyValue::of_int(SharedRef(), 6, 6);
        MapContext c = m.context();
        c.held = [&](uint32_t id) { return HeldValue{true, id == 1 ? &six : &m.text}; };
        EXPECT_BROKEN(m.map.validate(c), "is in the value set of");
        c.held = [&](uint32_t id) { return HeldValue{true, id == 1 ? &m.five : nullptr}; };
        EXPECT_BROKEN(m.map.validate(c), "id 2 is recorded under a name it does not have");
    }
    {
        // A holder of nested object 9 that was never entered.
        SmallMap m;
        m.map.holders.emplace(9, HybridSet::small_of(1));
        EXPECT_BROKEN(m.map.validate(m.context()),
                      "id 1 has both a range pair and a nested object");
        m.map.holders.clear();
        m.map.holders.emplace(9, HybridSet::small_of(2));
        EXPECT_BROKEN(m.map.validate(m.context()), "id 2 holds nested object 9, not its value");
        m.map.holders.clear();
        m.map.holders.emplace(9, HybridSet::small_of(3));
        m.members.add(3);
        EXPECT_BROKEN(m.map.validate(m.context(true)), "id 3 is a holder but is in no value set");
        MapContext c = m.context(false);
        EXPECT_BROKEN(m.map.validate(c),
                      "nested object 9 has holders but is neither entered nor looped");
        // Looped instead, it answers from the cycle index, which must hold
        // it as a root.
        m.map.looped.add(9);
        EXPECT_BROKEN(m.map.validate(c), "objects looped where no object reaches itself");
        c.acyclic = false;
        EXPECT_BROKEN(m.map.validate(c), "objects looped without a cycle index");
        m.map.cycle_index();
        EXPECT_BROKEN(m.map.validate(c), "looped object 9 is not in the cycle index");
        m.map.cycle->member_ids->write()->add(9);
        EXPECT_BROKEN(m.map.validate(c), "looped object 9 is no root of the cycle index");
        m.map.cycle->roots[9] = 1;
        EXPECT_EQ(failure_of([&] { m.map.validate(c); }), "");
        m.map.nested->member_ids->write()->add(9);
        EXPECT_BROKEN(m.map.validate(c), "nested object 9 is looped too");
        m.map.nested->member_ids->write()->remove(9);
        // And an object of the nested index that nobody holds.
        m.map.nested->member_ids->write()->add(10);
        EXPECT_BROKEN(m.map.validate(c), "nested object 10 has no holder");
    }
}

TEST(QueryMapValidate, RecordedPairsAgreeWithTheMap) {
    SmallMap m;
    Recorded recorded;
    recorded[1] = {{AttrName::intern("v"), m.five}};
    recorded[2] = {{AttrName::intern("v"), m.text}};
    MapContext c = m.context();
    c.recorded = &recorded;
    c.name = "v";
    EXPECT_EQ(failure_of([&] { m.map.validate(c); }), "");
    // Recorded under another value than the map has it.
    recorded[2] = {{AttrName::intern("v"), m.five}};
    EXPECT_BROKEN(m.map.validate(c), "id 2 is in the value set of");
    // Under another name.
    recorded[2] = {{AttrName::intern("w"), m.text}};
    EXPECT_BROKEN(m.map.validate(c), "has no such pair recorded");
    // A pair the map lacks.
    recorded[2] = {{AttrName::intern("v"), m.text}};
    recorded[1].emplace_back(AttrName::intern("v"), PyValue::of_int(SharedRef(), 6, 6));
    EXPECT_BROKEN(m.map.validate(c), "recorded but is not in its value set");
    // A range pair left behind when its value set was narrowed is still
    // recorded: fine where value sets may be narrowed, not where they are
    // complete.
    recorded[1].pop_back();
    m.map.exact.erase(m.five);
    c.complete = false;
    EXPECT_EQ(failure_of([&] { m.map.validate(c); }), "");
    recorded.erase(1);
    EXPECT_BROKEN(m.map.validate(c), "id 1 has a range pair but no such pair recorded");
}

TEST(RecordValidate, RecordedPairsBelongToMembers) {
    auto index = std::make_shared<IndexAPI>(IndexAPI::make());
    index->depth = 1;
    auto entry = std::make_unique<Entry>();
    entry->id = 3;
    entry->item = SharedRef(adopt, fake_object(3));
    entry->own().push_back(AttrName::intern("v"), PyValue::of_int(SharedRef(), 5, 5));
    add_object(*index, *entry);
    EXPECT_EQ(failure_of([&] { validate_record(*index); }), "");
    RecordedPairs kept = index->recorded[3];
    index->recorded.erase(3);
    EXPECT_BROKEN(validate_record(*index), "member 3 has no pairs recorded");
    index->recorded[3] = kept;
    index->recorded[4] = kept;
    EXPECT_BROKEN(validate_record(*index), "the pairs recorded for id 4, not a member");
    index->recorded.erase(4);
    index->recorded[3].emplace_back(AttrName::intern("_h"), PyValue::of_int(SharedRef(), 1, 1));
    EXPECT_BROKEN(validate_record(*index), "the pairs recorded for id 3 hold a pair under");
    index->recorded[3] = kept;
    index->recorded[3].emplace_back(AttrName::intern("w"), PyValue::of_int(SharedRef(), 1, 1));
    EXPECT_BROKEN(validate_record(*index), "which has no map");
}

TEST(RecordValidate, StoreAndMembersAgree) {
    IndexAPI index = IndexAPI::make();
    index.member_ids->write()->add(3);
    EXPECT_BROKEN(validate_record(index),
                  "invalid index record: index: member 3 has no stored object");
    index.items->write()->put(3, SharedRef(adopt, fake_object(3)));
    EXPECT_EQ(failure_of([&] { validate_record(index); }), "");
    index.items->write()->put(4, SharedRef(adopt, fake_object(4)));
    EXPECT_BROKEN(validate_record(index), "stored object 4 is not a member");
}

}  // namespace
}  // namespace corvane
