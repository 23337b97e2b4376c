#include "structures/hybrid_set.hpp"
#include "structures/intersection.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

using corvane::Bitmap;
using corvane::HybridSet;
using Form = corvane::HybridSet::Form;

namespace {

std::vector<uint32_t> slots(const HybridSet& s) {
    std::vector<uint32_t> out;
    s.for_each([&](uint32_t id) { out.push_back(id); });
    return out;
}

std::vector<uint32_t> bitmap_ids(const Bitmap& b) {
    std::vector<uint32_t> out;
    b.for_each([&](uint32_t id) { out.push_back(id); });
    return out;
}

HybridSet small_from(std::initializer_list<uint32_t> ids) {
    HybridSet s = HybridSet::empty_small();
    for (uint32_t id : ids) s.add(id);
    return s;
}

HybridSet large_from(std::initializer_list<uint32_t> ids) {
    std::vector<uint32_t> v(ids);
    return HybridSet::large_of(Bitmap::of(v.data(), v.size()));
}

using Ids = std::vector<uint32_t>;

}  // namespace

TEST(HybridSet, RecordStaysInlineSized) { EXPECT_EQ(sizeof(HybridSet), 24u); }

TEST(HybridSet, FifthAddConvertsToBitmap) {
    HybridSet s = HybridSet::small_of(1);
    s.add(2);
    s.add(3);
    s.add(4);
    ASSERT_EQ(s.form(), Form::Small);
    EXPECT_EQ(s.small_len(), 4u);
    EXPECT_EQ(slots(s), (Ids{1, 2, 3, 4}));
    s.add(5);
    ASSERT_EQ(s.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(s.bitmap()), (Ids{1, 2, 3, 4, 5}));
}

TEST(HybridSet, SmallFormKeepsDuplicatesUntilBitmap) {
    HybridSet s = HybridSet::empty_small();
    s.add(7);
    s.add(7);
    EXPECT_EQ(s.small_len(), 2u);
    EXPECT_EQ(s.cardinality(), 2u);  // duplicates count twice while inline
    EXPECT_EQ(bitmap_ids(s.as_bitmap()), (Ids{7}));
    s.remove(7);  // only the first occurrence goes
    EXPECT_EQ(s.small_len(), 1u);
    EXPECT_TRUE(s.contains(7));
    // A duplicate-filled small set converts with the duplicates collapsed.
    s.add(7);
    s.add(7);
    s.add(7);
    s.add(8);
    ASSERT_EQ(s.form(), Form::Large);
    EXPECT_EQ(s.cardinality(), 2u);
}

TEST(HybridSet, RemoveKeepsSlotOrderAndIgnoresAbsentIds) {
    HybridSet s = small_from({4, 9, 2, 9});
    s.remove(100);
    EXPECT_EQ(slots(s), (Ids{4, 9, 2, 9}));
    s.remove(9);
    EXPECT_EQ(slots(s), (Ids{4, 2, 9}));
    s.remove(4);
    EXPECT_EQ(slots(s), (Ids{2, 9}));

    HybridSet l = large_from({1, 2, 3});
    l.remove(100);
    EXPECT_EQ(bitmap_ids(l.bitmap()), (Ids{1, 2, 3}));
}

TEST(HybridSet, EmptiedLargeSetStaysLarge) {
    HybridSet s = small_from({1, 2, 3, 4, 5});
    for (uint32_t id = 1; id <= 5; ++id) s.remove(id);
    EXPECT_EQ(s.form(), Form::Large);
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.cardinality(), 0u);
    s.add(42);
    EXPECT_EQ(s.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(s.bitmap()), (Ids{42}));
}

TEST(HybridSet, UnionOfSmallSets) {
    HybridSet a = small_from({1, 2});
    a.or_inplace(small_from({2, 3}));
    ASSERT_EQ(a.form(), Form::Small);
    EXPECT_EQ(slots(a), (Ids{1, 2, 2, 3}));

    HybridSet b = small_from({1, 2, 3});
    b.or_inplace(small_from({4, 5}));
    ASSERT_EQ(b.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(b.bitmap()), (Ids{1, 2, 3, 4, 5}));

    // An empty accumulator takes the other's slots as they are.
    HybridSet acc = HybridSet::empty_small();
    acc.or_inplace(small_from({6, 6}));
    EXPECT_EQ(slots(acc), (Ids{6, 6}));
}

TEST(HybridSet, UnionWithLargeOperands) {
    HybridSet a = small_from({1, 9});
    HybridSet big = large_from({2, 3});
    a.or_inplace(big);
    ASSERT_EQ(a.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(a.bitmap()), (Ids{1, 2, 3, 9}));
    EXPECT_EQ(bitmap_ids(big.bitmap()), (Ids{2, 3}));  // other unchanged

    HybridSet l = large_from({10});
    l.or_inplace(small_from({3, 3, 11}));
    EXPECT_EQ(bitmap_ids(l.bitmap()), (Ids{3, 10, 11}));

    l.or_inplace(large_from({1, 10}));
    EXPECT_EQ(bitmap_ids(l.bitmap()), (Ids{1, 3, 10, 11}));
}

TEST(HybridSet, VacantTakesCopyOfOther) {
    HybridSet v;
    EXPECT_EQ(v.form(), Form::Vacant);
    EXPECT_TRUE(v.empty());
    v.or_inplace(HybridSet::small_of(9));
    ASSERT_EQ(v.form(), Form::Small);
    EXPECT_EQ(slots(v), (Ids{9}));

    HybridSet w;
    HybridSet src = large_from({1, 2});
    w.or_inplace(src);
    ASSERT_EQ(w.form(), Form::Large);
    src.add(3);  // the copy is independent
    EXPECT_EQ(bitmap_ids(w.bitmap()), (Ids{1, 2}));

    HybridSet x;
    x.or_inplace(HybridSet());
    EXPECT_EQ(x.form(), Form::Vacant);
    EXPECT_EQ(x.as_bitmap().cardinality(), 0u);
}

TEST(HybridSet, IntersectionIsAlwaysLarge) {
    HybridSet a = small_from({1, 2, 3});
    a.and_inplace(large_from({2, 3, 4, 5}));
    ASSERT_EQ(a.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(a.bitmap()), (Ids{2, 3}));

    HybridSet b = large_from({1, 2});
    b.and_inplace(small_from({2, 9}));
    ASSERT_EQ(b.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(b.bitmap()), (Ids{2}));

    HybridSet c = small_from({5, 6});
    c.and_inplace(small_from({6, 7}));
    ASSERT_EQ(c.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(c.bitmap()), (Ids{6}));

    HybridSet d = small_from({5, 6});
    std::vector<uint32_t> raw{6, 8};
    d.and_inplace(Bitmap::of(raw.data(), raw.size()));
    ASSERT_EQ(d.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(d.bitmap()), (Ids{6}));
}

TEST(HybridSet, SelfOperations) {
    HybridSet a = small_from({1, 2});
    a.or_inplace(a);
    EXPECT_EQ(slots(a), (Ids{1, 2, 1, 2}));
    a.or_inplace(a);  // 8 slots do not fit: becomes a bitmap
    ASSERT_EQ(a.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(a.bitmap()), (Ids{1, 2}));

    HybridSet b = small_from({3, 4});
    b.and_inplace(b);
    ASSERT_EQ(b.form(), Form::Large);
    EXPECT_EQ(bitmap_ids(b.bitmap()), (Ids{3, 4}));
}

TEST(HybridSet, IterationOrder) {
    HybridSet l = small_from({5, 1, 3, 9, 7});
    EXPECT_EQ(slots(l), (Ids{1, 3, 5, 7, 9}));
    HybridSet s = small_from({5, 1, 3});
    EXPECT_EQ(slots(s), (Ids{5, 1, 3}));
    EXPECT_TRUE(slots(HybridSet()).empty());
}

TEST(HybridSet, MoveCopyAndOrInto) {
    HybridSet big = small_from({1, 2, 3, 4, 5});
    HybridSet moved = std::move(big);
    EXPECT_EQ(big.form(), Form::Vacant);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.cardinality(), 5u);

    HybridSet copy = moved.copy();
    copy.add(6);
    EXPECT_EQ(moved.cardinality(), 5u);
    EXPECT_EQ(copy.cardinality(), 6u);

    HybridSet small = small_from({8, 8});
    HybridSet small_copy = small.copy();
    EXPECT_EQ(slots(small_copy), (Ids{8, 8}));

    Bitmap dst;
    dst.add(100);
    small.or_into(dst);
    moved.or_into(dst);
    HybridSet().or_into(dst);
    EXPECT_EQ(bitmap_ids(dst), (Ids{1, 2, 3, 4, 5, 8, 100}));

    // Move-assignment releases the bitmap it replaces (checked under ASan).
    moved = HybridSet::small_of(1);
    EXPECT_EQ(moved.form(), Form::Small);
}

// Randomized comparison with a straightforward model: the inline form is a
// sequence (duplicates kept), the bitmap form a std::set.
namespace {

struct Model {
    Form form = Form::Small;
    std::vector<uint32_t> seq;  // inline form
    std::set<uint32_t> set;     // bitmap form

    std::set<uint32_t> members() const {
        return form == Form::Large ? set : std::set<uint32_t>(seq.begin(), seq.end());
    }
    void to_large() {
        if (form == Form::Large) return;
        set = std::set<uint32_t>(seq.begin(), seq.end());
        seq.clear();
        form = Form::Large;
    }
    void add(uint32_t id) {
        if (form == Form::Large) {
            set.insert(id);
        } else if (seq.size() < 4) {
            seq.push_back(id);
        } else {
            to_large();
            set.insert(id);
        }
    }
    void remove(uint32_t id) {
        if (form == Form::Large) {
            set.erase(id);
            return;
        }
        for (auto it = seq.begin(); it != seq.end(); ++it) {
            if (*it == id) {
                seq.erase(it);
                return;
            }
        }
    }
    void unite(const Model& o) {
        if (form == Form::Small && o.form == Form::Small && seq.size() + o.seq.size() <= 4) {
            seq.insert(seq.end(), o.seq.begin(), o.seq.end());
            return;
        }
        to_large();
        for (uint32_t id : o.members()) set.insert(id);
    }
    void intersect(const Model& o) {
        to_large();
        const std::set<uint32_t> theirs = o.members();
        std::set<uint32_t> out;
        for (uint32_t id : set) {
            if (theirs.count(id)) out.insert(id);
        }
        set = out;
    }
};

void expect_same(const HybridSet& s, const Model& m, int step) {
    SCOPED_TRACE(step);
    ASSERT_EQ(s.form(), m.form);
    if (m.form == Form::Small) {
        EXPECT_EQ(slots(s), m.seq);
        EXPECT_EQ(s.cardinality(), m.seq.size());
    } else {
        EXPECT_EQ(slots(s), Ids(m.set.begin(), m.set.end()));
        EXPECT_EQ(s.cardinality(), m.set.size());
    }
    const std::set<uint32_t> members = m.members();
    EXPECT_EQ(bitmap_ids(s.as_bitmap()), Ids(members.begin(), members.end()));
    EXPECT_EQ(s.empty(), members.empty());
    for (uint32_t id = 0; id < 24; ++id) EXPECT_EQ(s.contains(id), members.count(id) == 1) << id;
}

// A random operand: small (0 to 4 slots, duplicates possible) or large.
std::pair<HybridSet, Model> random_operand(std::mt19937& rng) {
    std::uniform_int_distribution<uint32_t> id(0, 23);
    HybridSet s = HybridSet::empty_small();
    Model m;
    const int n = static_cast<int>(rng() % 10);
    if (n <= 4) {
        for (int i = 0; i < n; ++i) {
            const uint32_t v = id(rng);
            s.add(v);
            m.add(v);
        }
    } else {
        std::vector<uint32_t> ids;
        for (int i = 0; i < n * 2; ++i) ids.push_back(id(rng));
        s = HybridSet::large_of(Bitmap::of(ids.data(), ids.size()));
        m.form = Form::Large;
        m.set = std::set<uint32_t>(ids.begin(), ids.end());
    }
    return {std::move(s), std::move(m)};
}

}  // namespace

TEST(HybridSet, RandomizedAgainstModel) {
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<uint32_t> id(0, 23);
    for (int round = 0; round < 400; ++round) {
        HybridSet s = HybridSet::empty_small();
        Model m;
        for (int step = 0; step < 40; ++step) {
            switch (rng() % 6) {
                case 0:
                case 1: {
                    const uint32_t v = id(rng);
                    s.add(v);
                    m.add(v);
                    break;
                }
                case 2:
                case 3: {
                    const uint32_t v = id(rng);
                    s.remove(v);
                    m.remove(v);
                    break;
                }
                case 4: {
                    auto [o, om] = random_operand(rng);
                    s.or_inplace(o);
                    m.unite(om);
                    expect_same(o, om, -1);  // the operand is left alone
                    break;
                }
                case 5: {
                    if (rng() % 4 != 0) break;  // keep most sets small for longer
                    auto [o, om] = random_operand(rng);
                    if (rng() % 2) {
                        s.and_inplace(o);
                    } else {
                        s.and_inplace(o.as_bitmap());
                    }
                    m.intersect(om);
                    break;
                }
            }
            expect_same(s, m, round * 100 + step);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

// The chunk-wise intersection against pairwise CRoaring intersections, over
// sets whose chunks are arrays, bitsets and runs in every combination.
TEST(Intersection, MatchesPairwiseOnEveryChunkKind) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        const size_t n = 2 + round % 4;
        // Some rounds meet dense chunks only, the case met in one pass.
        const bool dense_only = round % 5 == 0;
        std::vector<Bitmap> sets(n);
        for (size_t j = 0; j < n; ++j) {
            for (uint32_t chunk = 0; chunk < 6; ++chunk) {
                if (rng() % 7 == 0) continue;  // a chunk missing from this set
                const uint32_t base = chunk << 16;
                switch (dense_only ? 1 : (rng() + j) % 3) {
                    case 0:  // sparse: an array
                        for (int k = 0; k < 300; ++k) sets[j].add(base + rng() % 65536);
                        break;
                    case 1:  // dense: a bitset
                        for (uint32_t v = 0; v < 65536; ++v)
                            if (rng() % 4 != 0) sets[j].add(base + v);
                        break;
                    default: {  // long runs
                        uint32_t lo = rng() % 30000;
                        roaring_bitmap_add_range(sets[j].raw(), base + lo, base + lo + 20000);
                        roaring_bitmap_run_optimize(sets[j].raw());
                    }
                }
            }
        }
        Bitmap expected = sets[0].copy();
        std::vector<const Bitmap*> parts;
        for (size_t j = 0; j < n; ++j) {
            if (j > 0) expected.and_inplace(sets[j]);
            parts.push_back(&sets[j]);
        }
        EXPECT_EQ(bitmap_ids(corvane::intersect_all(parts.data(), n)), bitmap_ids(expected))
            << "round " << round;
    }
    EXPECT_TRUE(corvane::intersect_all(nullptr, 0).empty());
}
