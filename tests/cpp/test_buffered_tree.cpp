// The buffered tree against a plain tree given the same changes one by one:
// both must hold the same pairs whenever the buffered one is read, whether
// its buffer was applied by a read or by filling up.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "structures/buffered_tree.hpp"

namespace corvane {
namespace {

std::vector<u128> keys_of(const BitMapBTree& t) {
    std::vector<u128> out;
    t.for_each([&](const TreeKey& k) { out.push_back(k.key); });
    return out;
}

RangeValue value_of(uint32_t v, bool as_float) {
    return as_float ? RangeValue::of_float(v + 0.5) : RangeValue::of_int(static_cast<int64_t>(v));
}

// Objects 0..ids-1 each hold one of `values` numbers and move at random,
// often to a lower value than they leave (the new pair sorts first); some
// changes repeat a pair already entered or take out one that is absent.
void run(uint32_t seed, uint32_t ids, uint32_t values, size_t steps, size_t read_every) {
    std::mt19937 rng(seed);
    BufferedTree buffered;
    BitMapBTree plain;
    std::vector<uint32_t> held(ids);
    std::vector<CompositeKey128> start;
    for (uint32_t id = 0; id < ids; ++id) {
        held[id] = rng() % values;
        start.push_back(CompositeKey128::make(value_of(held[id], id % 3 == 0), id));
    }
    std::vector<CompositeKey128> copy = start;
    buffered.insert_many(start);
    plain.insert_many(copy);
    for (size_t step = 1; step <= steps; ++step) {
        const uint32_t id = rng() % ids;
        const bool as_float = id % 3 == 0;
        const uint32_t next = rng() % values;
        switch (rng() % 8) {
            case 0:  // a pair entered again
                buffered.insert(value_of(held[id], as_float), id);
                plain.insert(value_of(held[id], as_float), id);
                break;
            case 1:  // a pair that is not there
                buffered.remove(value_of(next + values, as_float), id);
                plain.remove(value_of(next + values, as_float), id);
                break;
            default:  // a move
                buffered.remove(value_of(held[id], as_float), id);
                plain.remove(value_of(held[id], as_float), id);
                buffered.insert(value_of(next, as_float), id);
                plain.insert(value_of(next, as_float), id);
                held[id] = next;
        }
        if (step % read_every == 0) {
            ASSERT_EQ(keys_of(buffered.settled()), keys_of(plain)) << "step " << step;
            ASSERT_EQ(buffered.waiting(), 0u);
            buffered.validate();
        }
    }
    buffered.validate();
    EXPECT_EQ(keys_of(buffered.settled()), keys_of(plain));
    EXPECT_EQ(buffered.size(), plain.size());
}

TEST(BufferedTree, ReadsSeeEveryChange) { run(1, 300, 40, 3000, 7); }

TEST(BufferedTree, FullBuffersApplyThemselves) {
    // Far more changes between reads than a batch holds.
    run(2, 5000, 200, 20000, 9000);
}

TEST(BufferedTree, FewValuesManyMoves) { run(3, 2000, 3, 12000, 2500); }

TEST(BufferedTree, WaitingChangesAreCounted) {
    BufferedTree t;
    t.insert(RangeValue::of_int(5), 1);
    t.insert(RangeValue::of_int(5), 1);
    t.remove(RangeValue::of_int(4), 2);
    EXPECT_EQ(t.waiting(), 3u);
    t.validate();  // applies them
    EXPECT_EQ(t.waiting(), 0u);
    EXPECT_EQ(t.size(), 1u);
    t.remove(RangeValue::of_int(5), 1);
    t.insert(RangeValue::of_int(5), 1);
    t.remove(RangeValue::of_int(5), 1);
    EXPECT_EQ(t.size(), 0u);
}

}  // namespace
}  // namespace corvane
