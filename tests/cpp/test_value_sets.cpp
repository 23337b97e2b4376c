#include "engine/value_sets.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "scalar_value.hpp"

using corvane::HybridSet;
using corvane::PyValue;
using corvane::ValueSets;
using corvane::reference::Scalar;
using corvane::reference::scalar_value;

namespace {

// Keys drawn from ints, floats equal to some of those ints (one key with
// them) and texts, with their reference key: the number, or the text.
struct Drawn {
    PyValue value;
    std::string ref;
};

const std::vector<std::string>& texts() {
    static const std::vector<std::string> t = [] {
        std::vector<std::string> out;
        for (int i = 0; i < 64; ++i) out.push_back("t" + std::to_string(i));
        return out;
    }();
    return t;
}

Drawn draw(std::mt19937& rng, uint32_t spread) {
    const uint32_t n = rng() % spread;
    switch (rng() % 3) {
        case 0: return {scalar_value(Scalar::Int, n, ""), "n" + std::to_string(n)};
        case 1: return {scalar_value(Scalar::Float, n, ""), "n" + std::to_string(n)};
        default: {
            const std::string& t = texts()[n % texts().size()];
            return {scalar_value(Scalar::Text, 0, t.c_str()), "s" + t};
        }
    }
}

void expect_same(const ValueSets& sets, const std::map<std::string, std::set<uint32_t>>& ref) {
    sets.validate();
    ASSERT_EQ(sets.size(), ref.size());
    size_t walked = 0;
    for (const auto& [key, ids] : sets) {
        ++walked;
        std::set<uint32_t> got;
        ids.for_each([&](uint32_t id) { got.insert(id); });
        bool matched = false;
        for (const auto& [rk, rids] : ref)
            if (rids == got) matched = true;
        EXPECT_TRUE(matched) << key.debug();
    }
    EXPECT_EQ(walked, ref.size());
}

}  // namespace

// Random entering and withdrawing against a reference map, at sizes that
// cross many chunk edges both ways, validated as it goes.
TEST(ValueSets, FollowsAReferenceMapThroughGrowthAndShrinking) {
    for (uint32_t spread : {8u, 300u, 5000u}) {
        std::mt19937 rng(spread);
        ValueSets sets;
        // A table reserved to its load is no power of two: probing wraps
        // round its end, and its gaps close, at any capacity.
        sets.reserve(3 * spread + 1);
        std::map<std::string, std::set<uint32_t>> ref;
        std::vector<std::pair<Drawn, uint32_t>> held;
        for (int step = 0; step < 20000; ++step) {
            // Grow for the first half, then mostly shrink.
            const bool enter = held.empty() || rng() % 100 < (step < 10000 ? 70u : 25u);
            if (enter) {
                Drawn d = draw(rng, spread);
                const uint32_t id = static_cast<uint32_t>(step);
                auto [it, made] = sets.try_emplace(d.value);
                EXPECT_EQ(made, ref.count(d.ref) == 0);
                if (made) it->second = HybridSet::empty_small();
                it->second.add(id);
                ref[d.ref].insert(id);
                held.emplace_back(std::move(d), id);
            } else {
                const size_t pick = rng() % held.size();
                auto [d, id] = std::move(held[pick]);
                held[pick] = std::move(held.back());
                held.pop_back();
                auto it = sets.find(d.value);
                ASSERT_NE(it, sets.end());
                it->second.remove(id);
                if (it->second.empty()) sets.erase(it);
                auto& ids = ref[d.ref];
                ids.erase(id);
                if (ids.empty()) ref.erase(d.ref);
            }
            if (step % 997 == 0) expect_same(sets, ref);
        }
        expect_same(sets, ref);
        // Emptied one entry at a time, the chunks go too.
        while (!sets.empty()) sets.erase(sets.begin());
        sets.validate();
        EXPECT_LT(sets.allocated_bytes(), 4096u);
    }
}

TEST(ValueSets, OneAndOnePointZeroAreOneKeyAndLookupsMissCleanly) {
    ValueSets sets;
    auto [a, made_a] = sets.emplace(scalar_value(Scalar::Int, 1, ""), HybridSet::small_of(7));
    EXPECT_TRUE(made_a);
    auto [b, made_b] = sets.emplace(scalar_value(Scalar::Float, 1, ""), HybridSet::small_of(8));
    EXPECT_FALSE(made_b);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(b->second.contains(7));
    EXPECT_FALSE(b->second.contains(8));
    EXPECT_EQ(sets.find(scalar_value(Scalar::Int, 2, "")), sets.end());
    EXPECT_FALSE(sets.contains(scalar_value(Scalar::Text, 0, "1")));
    sets.clear();
    EXPECT_TRUE(sets.empty());
    EXPECT_EQ(sets.find(scalar_value(Scalar::Int, 1, "")), sets.end());
    sets.validate();
}
