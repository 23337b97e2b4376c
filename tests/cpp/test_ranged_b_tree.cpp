#include "structures/ranged_b_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "structures/failure.hpp"

using namespace corvane;

namespace {

using Ids = std::vector<uint32_t>;

RangeValue I(int64_t v) { return RangeValue::of_int(v); }
RangeValue F(double v) { return RangeValue::of_float(v); }

uint32_t head_of(RangeValue v) { return CompositeKey128::make(v, 0).head(); }
uint64_t tail_of(RangeValue v) { return CompositeKey128::make(v, 0).tail(); }
u128 vp(RangeValue v) { return CompositeKey128::value_part_of(v); }

Ids ids_of(const Bitmap& b) {
    Ids out;
    b.for_each([&](uint32_t id) { out.push_back(id); });
    return out;
}

Bitmap bitmap_of(const Ids& ids) { return Bitmap::of(ids.data(), ids.size()); }

Bitmap all_ids(uint32_t upto) {
    Bitmap b;
    roaring_bitmap_add_range_closed(b.raw(), 0, upto);
    return b;
}

Ids leaf_ids(const LeafNode& leaf) {
    Ids out;
    for (size_t i = 0; i < leaf.len; ++i) out.push_back(leaf.keys[leaf.start + i].id());
    return out;
}

Ids range(uint32_t from, uint32_t to) {  // from..to inclusive
    Ids out;
    for (uint32_t i = from; i <= to; ++i) out.push_back(i);
    return out;
}

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.message();
    }
    return "";
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const int64_t kMin = std::numeric_limits<int64_t>::min();
const int64_t kMax = std::numeric_limits<int64_t>::max();

}  // namespace

// ---------------------------------------------------------------------------
// Key encoding

TEST(CompositeKey, WorkedValueParts) {
    struct Case {
        RangeValue v;
        uint32_t head;
        uint64_t tail;
    };
    const Case cases[] = {
        {I(0), 0x80000000u, 0},
        {F(0.0), 0x80000000u, 0},
        {F(-0.0), 0x80000000u, 0},
        {I(1), 0xBFFF8000u, 0},
        {F(1.0), 0xBFFF8000u, 0},
        {I(-1), 0x40007FFFu, 0xFFFFFFFFFFFFFFFFull},
        {F(-1.0), 0x40007FFFu, 0xFFFFFFFFFFFFFFFFull},
        {I(2), 0xC0008000u, 0},
        {F(1.5), 0xBFFFC000u, 0},
        {I(100), 0xC005C800u, 0},
        {I(-100), 0x3FFA37FFu, 0xFFFFFFFFFFFFFFFFull},
        {I(kMax), 0xC03DFFFFu, 0xFFFFFFFFFFFE0000ull},
        {F(kInf), 0xC3FF8000u, 0},
        {F(0.3), 0xBFFD9999u, 0x9999999990000000ull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v.kind == RangeValue::Kind::Int ? std::to_string(c.v.i)
                                                       : std::to_string(c.v.f));
        EXPECT_EQ(head_of(c.v), c.head);
        EXPECT_EQ(tail_of(c.v), c.tail);
    }
    const CompositeKey128 k = CompositeKey128::make(I(100), 0xDEADBEEF);
    EXPECT_EQ(k.id(), 0xDEADBEEFu);
    EXPECT_EQ(k.value_part(), vp(I(100)));
    EXPECT_EQ(k.key >> 32, k.value_part());
}

TEST(CompositeKey, IntegersAndDoublesShareKeys) {
    EXPECT_EQ(CompositeKey128::make(I(1), 7).key, CompositeKey128::make(F(1.0), 7).key);
    EXPECT_LT(CompositeKey128::make(I(1), 3).key, CompositeKey128::make(F(1.0), 4).key);
    EXPECT_EQ(CompositeKey128::make(F(-0.0), 5).key, CompositeKey128::make(I(0), 5).key);
    EXPECT_EQ(CompositeKey128::make(F(0.0), 5).key, CompositeKey128::make(I(0), 5).key);
    // Every integer below 2^52 in magnitude matches its double.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const int bits = static_cast<int>(rng() % 53);
        int64_t v = static_cast<int64_t>(rng() & ((uint64_t{1} << bits) - 1));
        if (rng() & 1) v = -v;
        ASSERT_EQ(vp(I(v)), vp(F(static_cast<double>(v)))) << v;
    }
}

TEST(CompositeKey, OrderChains) {
    const RangeValue ints[] = {I(kMin), I(-1), I(0), I(1), I(kMax)};
    const RangeValue doubles[] = {F(-kInf),
                                  F(-1.5),
                                  F(-0.0),
                                  F(5e-324),
                                  F(2.225073858507201e-308),
                                  F(2.2250738585072014e-308),
                                  F(1.0),
                                  F(kInf)};
    for (size_t i = 1; i < std::size(ints); ++i)
        EXPECT_LT(CompositeKey128::make(ints[i - 1], 9).key, CompositeKey128::make(ints[i], 9).key)
            << i;
    for (size_t i = 1; i < std::size(doubles); ++i)
        EXPECT_LT(CompositeKey128::make(doubles[i - 1], 9).key,
                  CompositeKey128::make(doubles[i], 9).key)
            << i;
}

TEST(CompositeKey, LowestFractionBitDoesNotCount) {
    EXPECT_EQ(vp(F(1.0)), vp(F(std::nextafter(1.0, 2.0))));
    EXPECT_EQ(vp(F(0.3)), vp(F(std::nextafter(0.3, 0.0))));
    EXPECT_LT(vp(F(1.0)), vp(F(std::nextafter(std::nextafter(1.0, 2.0), 2.0))));
    // An odd integer between 2^52 and 2^53: as a double it shares the value
    // part of the even integer below; as an integer it sorts above that.
    const int64_t odd = (int64_t{1} << 52) + 1;
    EXPECT_EQ(vp(F(static_cast<double>(odd))), vp(I(odd - 1)));
    EXPECT_LT(vp(F(static_cast<double>(odd))), vp(I(odd)));
    EXPECT_EQ(vp(F(static_cast<double>(odd + 1))), vp(I(odd + 1)));
    // Subnormals keep every bit of their fraction.
    const double tiny = 5e-324;
    EXPECT_LT(vp(F(tiny)), vp(F(2 * tiny)));
    EXPECT_LT(vp(F(2 * tiny)), vp(F(3 * tiny)));
    EXPECT_LT(vp(F(-3 * tiny)), vp(F(-2 * tiny)));
}

TEST(CompositeKey, NanInfinityAndExtremes) {
    const double neg_nan = -kNaN;
    ASSERT_TRUE(std::signbit(neg_nan));
    EXPECT_GT(vp(F(kInf)), vp(I(kMax)));
    EXPECT_GT(vp(F(kNaN)), vp(F(kInf)));
    EXPECT_LT(vp(F(neg_nan)), vp(F(-kInf)));
    EXPECT_LT(vp(F(-kInf)), vp(I(kMin)));
    EXPECT_EQ(vp(F(-9223372036854775808.0)), vp(I(kMin)));
    EXPECT_LT(vp(I(kMin)), vp(I(kMin + 1)));
    EXPECT_GT(vp(F(5e-324)), vp(I(0)));
    EXPECT_LT(vp(F(-5e-324)), vp(I(0)));
    // No value reaches the all-zero key that marks an empty slot.
    const double all_ones = std::bit_cast<double>(~uint64_t{0});
    for (RangeValue v :
         {F(all_ones), F(neg_nan), F(-kInf), I(kMin), F(-std::numeric_limits<double>::max())}) {
        EXPECT_FALSE(CompositeKey128::make(v, 0).is_empty());
        EXPECT_GE(CompositeKey128::make(v, 0).head(), 0x3C000000u);
    }
}

namespace {

// Exact numeric comparison of integers and finite doubles: long double
// holds every int64 and every double exactly on x86-64.
long double exact(RangeValue v) {
    return v.kind == RangeValue::Kind::Int ? static_cast<long double>(v.i)
                                           : static_cast<long double>(v.f);
}

RangeValue random_number(std::mt19937_64& rng) {
    switch (rng() % 5) {
        case 0: {
            const int bits = static_cast<int>(rng() % 64);
            int64_t v = static_cast<int64_t>(rng() >> (63 - bits) >> 1);
            return I(rng() & 1 ? -v : v);
        }
        case 1: return I(static_cast<int64_t>(rng()));
        case 2: {
            double d;
            do {
                d = std::bit_cast<double>(rng());
            } while (!std::isfinite(d));
            return F(d);
        }
        case 3: return F(static_cast<double>(static_cast<int64_t>(rng()) >> (rng() % 64)));
        default: {
            const double base =
                std::ldexp(static_cast<double>(rng() % 1000), static_cast<int>(rng() % 200) - 100);
            return F(rng() & 1 ? std::nextafter(base, kInf) : -base);
        }
    }
}

}  // namespace

TEST(CompositeKey, NumericOrderIsKept) {
    std::mt19937_64 rng(99);
    for (int i = 0; i < 200000; ++i) {
        const RangeValue a = random_number(rng);
        const RangeValue b = random_number(rng);
        const long double x = exact(a);
        const long double y = exact(b);
        if (x < y) {
            ASSERT_LE(vp(a), vp(b)) << static_cast<double>(x) << " " << static_cast<double>(y);
            // Integers are encoded without loss.
            if (a.kind == RangeValue::Kind::Int && b.kind == RangeValue::Kind::Int) {
                ASSERT_LT(vp(a), vp(b));
            }
        }
        if (vp(a) < vp(b)) {
            ASSERT_LE(x, y);
        }
    }
}

// ---------------------------------------------------------------------------
// Node operations

TEST(LeafNode, RecenterMovesWindowToTheMiddle) {
    LeafNode leaf;
    leaf.start = 0;
    leaf.len = 10;
    for (uint32_t i = 0; i < 10; ++i) leaf.keys[i] = CompositeKey128::make(I(i), i);
    leaf.recenter();
    EXPECT_EQ(leaf.start, 43u);
    for (size_t s = 0; s < kNodeSlots; ++s)
        EXPECT_EQ(leaf.keys[s].is_empty(), s < 43 || s > 52) << s;
    EXPECT_EQ(leaf_ids(leaf), range(0, 9));
}

TEST(LeafNode, InsertShiftsTheShorterSide) {
    LeafNode leaf;
    leaf.insert_non_full(CompositeKey128::make(I(10), 1));
    EXPECT_EQ(leaf.start, 48u);
    leaf.insert_non_full(CompositeKey128::make(I(5), 2));   // k 0, not below len/2 0: back
    leaf.insert_non_full(CompositeKey128::make(I(20), 3));  // end of window
    EXPECT_EQ(leaf.start, 48u);
    leaf.insert_non_full(CompositeKey128::make(I(1), 4));  // k 0 < 1: front
    EXPECT_EQ(leaf.start, 47u);
    leaf.insert_non_full(CompositeKey128::make(I(15), 5));  // k 3 >= 2: back
    EXPECT_EQ(leaf.start, 47u);
    EXPECT_EQ(leaf_ids(leaf), (Ids{4, 2, 1, 5, 3}));
    // A key that is already there is not entered again.
    const CompositeKey128 again = CompositeKey128::make(I(15), 5);
    EXPECT_FALSE(leaf.insert_non_full(again));
    EXPECT_EQ(leaf_ids(leaf), (Ids{4, 2, 1, 5, 3}));
    EXPECT_EQ(leaf.key_position(again.key), 3u);
    EXPECT_EQ(leaf.key_position(0), 0u);
}

TEST(InternalNode, ShiftAndRecenterMoveWholeSlots) {
    InternalNode node;
    node.start = 10;
    node.len = 3;
    for (uint32_t i = 0; i < 3; ++i) {
        const size_t s = 10 + i;
        node.keys[s] = CompositeKey128::make(I(i * 10), i);
        auto leaf = std::make_unique<LeafNode>();
        leaf->insert_non_full(node.keys[s]);
        node.children[s] = BitMapBTreeNode(std::move(leaf));
        node.bitmaps[s] = bitmap_of({i});
    }
    node.shift_right(11, 13, 2);  // open a gap after the first child
    EXPECT_EQ(node.start, 10u);
    for (size_t s : {11u, 12u}) {
        EXPECT_TRUE(node.keys[s].is_empty());
        EXPECT_FALSE(node.children[s].present());
        EXPECT_FALSE(node.bitmaps[s].has_value());
    }
    EXPECT_EQ(ids_of(*node.bitmaps[14]), (Ids{2}));
    EXPECT_EQ(node.children[14].leaf()->keys[48].id(), 2u);

    node.shift_right(10, 15, 1);  // from the window start: start follows
    EXPECT_EQ(node.start, 11u);
    EXPECT_FALSE(node.children[10].present());
    EXPECT_EQ(node.children[11].leaf()->keys[48].id(), 0u);
    EXPECT_EQ(node.children[15].leaf()->keys[48].id(), 2u);
    // Close the gap again by hand (14, 15 -> 12, 13) and recenter.
    for (size_t s = 14; s < 16; ++s) {
        node.keys[s - 2] = node.keys[s];
        node.keys[s] = CompositeKey128{};
        node.children[s - 2] = std::move(node.children[s]);
        node.bitmaps[s - 2] = std::move(node.bitmaps[s]);
        node.bitmaps[s].reset();
    }
    node.len = 3;
    node.recenter();
    EXPECT_EQ(node.start, 46u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(node.keys[46 + i].id(), i);
        EXPECT_EQ(ids_of(*node.bitmaps[46 + i]), (Ids{i}));
        EXPECT_EQ(node.children[46 + i].leaf()->keys[48].id(), i);
    }
    EXPECT_EQ(ids_of(node.get_bitmap()), (Ids{0, 1, 2}));
}

// ---------------------------------------------------------------------------
// Insertion and removal

TEST(BitMapBTree, NewTreeIsAnEmptyLeaf) {
    BitMapBTree t;
    ASSERT_TRUE(t.root().is_leaf());
    EXPECT_EQ(t.root().len(), 0u);
    EXPECT_EQ(t.root().start(), 48u);
    EXPECT_EQ(t.size(), 0u);
    EXPECT_EQ(t.height(), 1u);
    t.validate();
}

TEST(BitMapBTree, AscendingInsertsFillOneLeafUpTo95) {
    BitMapBTree t;
    for (uint32_t v = 1; v <= 95; ++v) {
        t.insert(I(v), v);
        ASSERT_TRUE(t.root().is_leaf());
        const size_t start = t.root().start();
        const size_t len = t.root().len();
        ASSERT_EQ(len, v);
        // Recentered whenever the window reached either end of the array.
        ASSERT_LE(start + len, 95u) << v;
        if (len < 95) {
            ASSERT_GT(start, 0u) << v;
        }
    }
    EXPECT_EQ(t.root().start(), 0u);
    EXPECT_EQ(leaf_ids(*t.root().leaf()), range(1, 95));
    t.validate();
}

TEST(BitMapBTree, NinetySixthInsertSplitsTheRoot) {
    BitMapBTree t;
    for (uint32_t v = 1; v <= 96; ++v) t.insert(I(v), v);
    t.validate();
    const InternalNode* root = t.root().internal();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->start, 48u);
    EXPECT_EQ(root->len, 2u);
    const LeafNode* left = root->children[48].leaf();
    const LeafNode* right = root->children[49].leaf();
    ASSERT_TRUE(left && right);
    // Pairs entered in key order: the lower leaf keeps all but two, so
    // sorted input fills leaves.
    EXPECT_EQ(left->start, 1u);
    EXPECT_EQ(left->len, 93u);
    EXPECT_EQ(leaf_ids(*left), range(1, 93));
    EXPECT_EQ(right->start, 24u);
    EXPECT_EQ(right->len, 3u);
    EXPECT_EQ(leaf_ids(*right), range(94, 96));
    EXPECT_EQ(root->keys[48].key, CompositeKey128::make(I(1), 1).key);
    EXPECT_EQ(root->keys[49].key, CompositeKey128::make(I(94), 94).key);
    EXPECT_EQ(ids_of(*root->bitmaps[48]), range(1, 93));
    EXPECT_EQ(ids_of(*root->bitmaps[49]), range(94, 96));
    EXPECT_EQ(t.height(), 2u);

    // Entered in reverse order, the root splits in halves.
    BitMapBTree r;
    for (uint32_t v = 96; v >= 1; --v) r.insert(I(v), v);
    r.validate();
    const InternalNode* rroot = r.root().internal();
    ASSERT_NE(rroot, nullptr);
    EXPECT_EQ(rroot->children[rroot->start].len(), 48u);
}

TEST(BitMapBTree, EqualValuePartsOrderById) {
    BitMapBTree t;
    t.insert(F(5.0), 2);
    t.insert(I(5), 1);
    const LeafNode& leaf = *t.root().leaf();
    ASSERT_EQ(leaf.len, 2u);
    EXPECT_EQ(leaf_ids(leaf), (Ids{1, 2}));
    EXPECT_EQ(leaf.keys[leaf.start].value_part(), leaf.keys[leaf.start + 1].value_part());
    t.validate();
}

TEST(BitMapBTree, SmallFiltersAnswerInEveryStateOfTheColumn) {
    const auto below = [](const BitMapBTree& t, int64_t v, const Ids& filter) {
        return ids_of(t.query_range(Bound::unbounded(), Bound::included(I(v)), bitmap_of(filter)));
    };
    BitMapBTree t;
    for (uint32_t id = 0; id < 4000; ++id) t.insert(I(id % 100), id);
    EXPECT_EQ(below(t, 7, {7, 8, 107}), (Ids{7, 107}));
    // Id 7 under a second value: small filters must still see both pairs.
    t.insert(I(500), 7);
    EXPECT_EQ(ids_of(t.query_range(Bound::included(I(400)), Bound::unbounded(), bitmap_of({7, 8}))),
              (Ids{7}));
    EXPECT_EQ(below(t, 7, {7, 8}), (Ids{7}));
    t.remove(I(7), 7);
    EXPECT_EQ(below(t, 7, {7, 8, 107}), (Ids{107}));
    t.remove(I(500), 7);
    t.insert(I(3), 7);
    EXPECT_EQ(below(t, 7, {7, 8, 107}), (Ids{7, 107}));
    t.validate();

    // Ids far above the number of entries, then filled in below them.
    BitMapBTree s;
    s.insert(I(-1), 99999);
    EXPECT_EQ(below(s, 0, {5, 99999}), (Ids{99999}));
    for (uint32_t id = 0; id < 99999; ++id) s.insert(I(id), id);
    EXPECT_EQ(below(s, 10, {5, 50, 99999}), (Ids{5, 99999}));
    s.remove(I(-1), 99999);
    EXPECT_EQ(below(s, 10, {5, 50, 99999}), (Ids{5}));

    // High ids entered in descending order (the column grows downward).
    BitMapBTree h;
    for (uint32_t k = 50000; k-- > 0;) h.insert(I(k % 1000), 5'000'000 + k);
    EXPECT_EQ(below(h, 3, {4, 5'000'000, 5'000'004, 5'001'003, 5'049'999}),
              (Ids{5'000'000, 5'001'003}));
    h.validate();
}

TEST(BitMapBTree, PresentPairIsNotEnteredTwice) {
    BitMapBTree t;
    for (uint32_t v = 1; v <= 96; ++v) EXPECT_TRUE(t.insert(I(v), v));
    // Equal to a separator and present in its leaf.
    EXPECT_FALSE(t.insert(I(48), 48));
    // 1.0 and 1 with the same id are the same key.
    EXPECT_FALSE(t.insert(F(1.0), 1));
    EXPECT_EQ(t.size(), 96u);
    t.validate();
}

TEST(BitMapBTree, PairComesBackThroughItsOldSeparator) {
    BitMapBTree t;
    for (uint32_t v = 1; v <= 96; ++v) t.insert(I(v), v);
    // Removal leaves the separator in place; the pair must still come back.
    ASSERT_TRUE(t.remove(F(48.0), 48));
    t.validate();
    EXPECT_TRUE(t.insert(I(48), 48));
    EXPECT_EQ(t.size(), 96u);
    t.validate();
    Bitmap all = Bitmap::of(std::vector<uint32_t>{48, 1000}.data(), 2);
    EXPECT_TRUE(t.query_range(Bound::included(I(48)), Bound::included(I(48)), all).contains(48));
    // The same value with another id is a different key.
    EXPECT_TRUE(t.insert(I(48), 1000));
    t.validate();
}

TEST(BitMapBTree, RepeatedPairInALeafIsStoredOnce) {
    BitMapBTree t;
    EXPECT_TRUE(t.insert(I(5), 1));
    EXPECT_FALSE(t.insert(I(5), 1));
    EXPECT_EQ(t.root().len(), 1u);
    EXPECT_EQ(t.size(), 1u);
    EXPECT_TRUE(t.remove(F(5.0), 1));
    EXPECT_FALSE(t.remove(I(5), 1));
    EXPECT_EQ(t.size(), 0u);
}

TEST(BitMapBTree, RemoveAbsentAndPresentPairs) {
    BitMapBTree t;
    for (uint32_t v = 0; v < 300; ++v) t.insert(I(v * 3), v);
    t.validate();
    const size_t height = t.height();
    ASSERT_GE(height, 2u);

    EXPECT_FALSE(t.remove(I(1), 0));     // value absent
    EXPECT_FALSE(t.remove(I(3), 2));     // pair absent, value present
    EXPECT_FALSE(t.remove(I(-5), 7));    // below everything
    EXPECT_FALSE(t.remove(F(kNaN), 7));  // above everything
    EXPECT_EQ(t.size(), 300u);
    t.validate();

    // Find the leaf holding (150, 50) and the bitmaps on its path.
    const CompositeKey128 key = CompositeKey128::make(I(150), 50);
    std::vector<const Bitmap*> path;
    const BitMapBTreeNode* node = &t.root();
    while (const InternalNode* in = node->internal()) {
        const size_t s = in->start + in->key_position(key.key);
        path.push_back(&*in->bitmaps[s]);
        node = &in->children[s];
    }
    const LeafNode* leaf = node->leaf();
    const size_t len_before = leaf->len;
    for (const Bitmap* b : path) ASSERT_TRUE(b->contains(50));

    EXPECT_TRUE(t.remove(I(150), 50));
    EXPECT_EQ(leaf->len, len_before - 1);
    for (size_t i = 0; i < leaf->len; ++i) EXPECT_FALSE(leaf->keys[leaf->start + i].is_empty());
    for (const Bitmap* b : path) EXPECT_FALSE(b->contains(50));
    EXPECT_FALSE(t.remove(I(150), 50));
    EXPECT_EQ(t.size(), 299u);
    t.validate();
}

TEST(BitMapBTree, EmptiedLeafIsFreedAndLowerValuesStillEnter) {
    BitMapBTree t;
    for (uint32_t v = 1; v <= 300; ++v) t.insert(I(v), v);
    const InternalNode* root = t.root().internal();
    ASSERT_NE(root, nullptr);
    const size_t children = root->len;
    ASSERT_GE(children, 3u);
    const Ids first_ids = leaf_ids(*root->children[root->start].leaf());
    for (uint32_t id : first_ids) {
        ASSERT_TRUE(t.remove(I(id), id));
        t.validate();
    }
    EXPECT_EQ(root->len, children - 1);
    EXPECT_TRUE(ids_of(t.query_range(Bound::unbounded(), Bound::included(I(first_ids.back())),
                                     all_ids(1000)))
                    .empty());
    // Values below every separator go to the new first child.
    for (int64_t v = -10; v < 0; ++v) t.insert(I(v), static_cast<uint32_t>(500 + v));
    t.validate();
    EXPECT_EQ(ids_of(t.query_range(Bound::unbounded(), Bound::excluded(I(0)), all_ids(1000))),
              range(490, 499));
}

namespace {

size_t count_nodes(const BitMapBTreeNode& n) {
    const InternalNode* in = n.internal();
    if (in == nullptr) return n.present() ? 1 : 0;
    size_t total = 1;
    for (size_t i = in->start; i < in->start + in->len; ++i) total += count_nodes(in->children[i]);
    return total;
}

}  // namespace

TEST(BitMapBTree, NeighboursMergeAndTheRootGivesWay) {
    BitMapBTree t;
    for (uint32_t v = 0; v < 20000; ++v) t.insert(I(v), v);
    ASSERT_EQ(t.height(), 3u);
    // Three entries in four leave: neighbouring leaves fall to a quarter
    // and merge.
    const size_t nodes = count_nodes(t.root());
    for (uint32_t v = 0; v < 20000; ++v) {
        if (v % 4 != 3) {
            ASSERT_TRUE(t.remove(I(v), v));
        }
    }
    t.validate();
    EXPECT_LT(count_nodes(t.root()), nodes * 2 / 3);
    // Down to a few entries, the tree is down to one leaf.
    for (uint32_t v = 3; v < 19990; v += 4) ASSERT_TRUE(t.remove(I(v), v));
    t.validate();
    EXPECT_EQ(t.height(), 1u);
    EXPECT_EQ(ids_of(t.query_range(Bound::unbounded(), Bound::unbounded(), all_ids(20000))),
              (Ids{19991, 19995, 19999}));
    for (uint32_t v = 19991; v < 20000; v += 4) ASSERT_TRUE(t.remove(I(v), v));
    t.validate();
    EXPECT_EQ(t.size(), 0u);
    EXPECT_EQ(count_nodes(t.root()), 1u);
}

TEST(BitMapBTree, ValidatorReportsBrokenInvariants) {
    auto build = [] {
        BitMapBTree t;
        for (uint32_t v = 0; v < 400; ++v) t.insert(I(v), v);
        return t;
    };
    auto first_leaf = [](BitMapBTree& t) {
        BitMapBTreeNode* n = &t.mutable_root();
        while (InternalNode* in = n->internal()) n = &in->children[in->start];
        return n->leaf();
    };
    {
        BitMapBTree t = build();
        t.validate();
        InternalNode* root = t.mutable_root().internal();
        root->bitmaps[root->start]->remove(0);
        EXPECT_NE(failure_of([&] { t.validate(); }).find("bitmap of child 0"), std::string::npos);
    }
    {
        BitMapBTree t = build();
        LeafNode* leaf = first_leaf(t);
        std::swap(leaf->keys[leaf->start], leaf->keys[leaf->start + 1]);
        EXPECT_NE(failure_of([&] { t.validate(); }).find("not increasing"), std::string::npos);
    }
    {
        BitMapBTree t = build();
        LeafNode* leaf = first_leaf(t);
        leaf->keys[leaf->start + leaf->len] = CompositeKey128::make(I(1000), 1000);
        EXPECT_NE(failure_of([&] { t.validate(); }).find("outside the window"), std::string::npos);
    }
    {
        BitMapBTree t = build();
        LeafNode* leaf = first_leaf(t);
        // A key moved into the wrong child (ids kept exact).
        leaf->keys[leaf->start + leaf->len - 1] =
            CompositeKey128::make(I(100000), leaf->keys[leaf->start + leaf->len - 1].id());
        EXPECT_NE(failure_of([&] { t.validate(); }).find("not below the next separator"),
                  std::string::npos);
    }
    {
        BitMapBTree t;
        for (uint32_t v = 0; v < 95; ++v) t.insert(I(v), v);
        LeafNode* leaf = t.mutable_root().leaf();
        leaf->keys[95] = CompositeKey128::make(I(500), 500);
        leaf->len = 96;
        EXPECT_NE(failure_of([&] { t.validate(); }).find("above 95"), std::string::npos);
    }
    {
        BitMapBTree t = build();
        LeafNode* leaf = first_leaf(t);
        for (size_t i = 0; i < leaf->len; ++i) leaf->keys[leaf->start + i] = TreeKey{};
        leaf->len = 0;
        EXPECT_NE(failure_of([&] { t.validate(); }).find("empty leaf below the root"),
                  std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// Range queries

TEST(RangeQuery, EmptyTreeGivesNothing) {
    BitMapBTree t;
    const Bitmap all = all_ids(100);
    EXPECT_TRUE(t.query_range(Bound::unbounded(), Bound::unbounded(), all).empty());
    EXPECT_TRUE(t.query_range(Bound::included(I(0)), Bound::included(I(10)), all).empty());
}

TEST(RangeQuery, BoundKindsOnASingleLeaf) {
    BitMapBTree t;
    for (uint32_t v = 1; v <= 3; ++v) t.insert(I(v), v);
    const Bitmap all = all_ids(10);
    auto q = [&](Bound lo, Bound hi) { return ids_of(t.query_range(lo, hi, all)); };
    EXPECT_EQ(q(Bound::excluded(I(1)), Bound::unbounded()), (Ids{2, 3}));
    EXPECT_EQ(q(Bound::included(I(1)), Bound::unbounded()), (Ids{1, 2, 3}));
    EXPECT_EQ(q(Bound::unbounded(), Bound::excluded(I(3))), (Ids{1, 2}));
    EXPECT_EQ(q(Bound::included(I(2)), Bound::included(I(2))), (Ids{2}));
    EXPECT_EQ(q(Bound::included(I(3)), Bound::included(I(1))), (Ids{}));
    EXPECT_EQ(q(Bound::unbounded(), Bound::unbounded()), (Ids{1, 2, 3}));
    EXPECT_EQ(q(Bound::excluded(I(3)), Bound::unbounded()), (Ids{}));
    EXPECT_EQ(q(Bound::excluded(I(2)), Bound::excluded(I(2))), (Ids{}));
}

TEST(RangeQuery, FilterLimitsLeafAndWholeChildResults) {
    BitMapBTree t;
    for (uint32_t v = 1; v <= 2000; ++v) t.insert(I(v), v);
    ASSERT_GE(t.height(), 2u);
    Bitmap filter = all_ids(3000);
    filter.remove(2);     // in a boundary leaf
    filter.remove(1000);  // inside a child taken whole
    filter.remove(1999);
    Ids expected = range(1, 2000);
    std::erase_if(expected, [](uint32_t id) { return id == 2 || id == 1000 || id == 1999; });
    EXPECT_EQ(ids_of(t.query_range(Bound::unbounded(), Bound::unbounded(), filter)), expected);
    EXPECT_EQ(ids_of(t.query_range(Bound::included(I(1)), Bound::included(I(2000)), filter)),
              expected);
    // A small filter takes the per-child intersection path.
    const Bitmap few = bitmap_of({2, 3, 1000, 1500, 4000});
    EXPECT_EQ(ids_of(t.query_range(Bound::included(I(3)), Bound::unbounded(), few)),
              (Ids{3, 1000, 1500}));
    EXPECT_TRUE(t.query_range(Bound::unbounded(), Bound::unbounded(), Bitmap()).empty());
}

TEST(RangeQuery, IntAndFloatBoundsAreInterchangeable) {
    BitMapBTree t;
    t.insert(F(2.0), 1);
    t.insert(I(3), 2);
    const Bitmap all = all_ids(10);
    EXPECT_EQ(ids_of(t.query_range(Bound::included(I(2)), Bound::included(I(2)), all)), (Ids{1}));
    EXPECT_EQ(ids_of(t.query_range(Bound::included(F(3.0)), Bound::included(F(3.0)), all)),
              (Ids{2}));
    EXPECT_EQ(ids_of(t.query_range(Bound::excluded(F(2.0)), Bound::excluded(I(3)), all)), (Ids{}));
}

TEST(RangeQuery, RunsOfEqualValuesAcrossManyChildren) {
    BitMapBTree t;
    Ids sevens;
    uint32_t id = 0;
    // Interleave: the 7s arrive with scattered ids among other values.
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        ++id;
        if (i % 3 == 0) {
            t.insert(i % 2 ? I(7) : F(7.0), id);
            sevens.push_back(id);
        } else {
            t.insert(I(static_cast<int64_t>(rng() % 14)), id);
        }
    }
    t.validate();
    // The 7s must span several children of some internal node.
    size_t seven_separators = 0;
    const InternalNode* root = t.root().internal();
    ASSERT_NE(root, nullptr);
    std::vector<const InternalNode*> stack{root};
    while (!stack.empty()) {
        const InternalNode* n = stack.back();
        stack.pop_back();
        for (size_t i = 0; i < n->len; ++i) {
            if (n->keys[n->start + i].value_part() == vp(I(7))) ++seven_separators;
            if (const InternalNode* c = n->children[n->start + i].internal()) stack.push_back(c);
        }
    }
    ASSERT_GE(seven_separators, 3u);
    const Bitmap all = all_ids(id);
    Bitmap got = t.query_range(Bound::included(I(7)), Bound::included(F(7.0)), all);
    Bitmap want = bitmap_of(sevens);
    // Other ids may also carry 7 (from the random values): check containment
    // of every declared 7 and that nothing else outside value 7 came back.
    for (uint32_t s : sevens) EXPECT_TRUE(got.contains(s)) << s;
    Bitmap above = t.query_range(Bound::excluded(I(7)), Bound::unbounded(), all);
    for (uint32_t s : sevens) EXPECT_FALSE(above.contains(s)) << s;
    Bitmap below = t.query_range(Bound::unbounded(), Bound::excluded(I(7)), all);
    for (uint32_t s : sevens) EXPECT_FALSE(below.contains(s)) << s;
    // The three parts cover everything exactly once.
    EXPECT_EQ(
        got.and_cardinality(above) + got.and_cardinality(below) + above.and_cardinality(below), 0u);
    EXPECT_EQ(got.cardinality() + above.cardinality() + below.cardinality(), 3000u);
}

TEST(RangeQuery, NanEntriesSortBeyondInfinities) {
    BitMapBTree t;
    t.insert(I(5), 1);
    t.insert(F(kNaN), 2);
    t.insert(F(-kNaN), 3);
    t.insert(F(kInf), 4);
    t.insert(F(-kInf), 5);
    const Bitmap all = all_ids(10);
    EXPECT_EQ(ids_of(t.query_range(Bound::excluded(I(5)), Bound::unbounded(), all)), (Ids{2, 4}));
    EXPECT_EQ(ids_of(t.query_range(Bound::unbounded(), Bound::excluded(I(5)), all)), (Ids{3, 5}));
    EXPECT_EQ(ids_of(t.query_range(Bound::excluded(F(kInf)), Bound::unbounded(), all)), (Ids{2}));
}

TEST(RangeQuery, LowestFractionBitCountsAsEqual) {
    BitMapBTree t;
    t.insert(F(std::nextafter(1.0, 2.0)), 1);
    t.insert(F(1.5), 2);
    const Bitmap all = all_ids(10);
    EXPECT_EQ(ids_of(t.query_range(Bound::excluded(F(1.0)), Bound::unbounded(), all)), (Ids{2}));
    EXPECT_EQ(ids_of(t.query_range(Bound::included(I(1)), Bound::included(I(1)), all)), (Ids{1}));
}

// ---------------------------------------------------------------------------
// Differential test against a sorted set of keys

namespace {

// Values a scenario draws from.
enum class Pattern { Ascending, Descending, Random, Duplicates, Specials, Mixed };

const std::vector<RangeValue>& specials() {
    static const std::vector<RangeValue> v = {
        F(kNaN),
        F(-kNaN),
        F(std::bit_cast<double>(uint64_t{0x7FF0000000000001})),  // NaN with a payload
        F(kInf),
        F(-kInf),
        F(0.0),
        F(-0.0),
        I(0),
        F(5e-324),
        F(-5e-324),
        F(1e-320),
        F(2.225073858507201e-308),
        F(2.2250738585072014e-308),
        I(kMin),
        I(kMin + 1),
        I(kMax),
        I(kMax - 1),
        F(-9223372036854775808.0),
        F(9223372036854775808.0),
        I((int64_t{1} << 52) + 1),
        F(static_cast<double>((int64_t{1} << 52) + 1)),
        I(int64_t{1} << 53),
        F(1.0),
        F(std::nextafter(1.0, 2.0)),
        I(1),
        F(0.3),
        F(std::nextafter(0.3, 0.0)),
        I(-1),
        F(-1.5),
        F(std::numeric_limits<double>::max()),
        F(-std::numeric_limits<double>::max()),
    };
    return v;
}

class Scenario {
public:
    Scenario(Pattern p, uint64_t seed) : pattern_(p), rng_(seed) {}

    RangeValue next_value() { return value_for(pattern_); }

    RangeValue value_for(Pattern p) {
        switch (p) {
            case Pattern::Ascending:
                ++counter_;
                return rng_() % 4 == 0 ? F(static_cast<double>(counter_) + 0.5) : I(counter_);
            case Pattern::Descending:
                ++counter_;
                return rng_() % 4 == 0 ? F(-static_cast<double>(counter_)) : I(-counter_);
            case Pattern::Random: return random_number(rng_);
            case Pattern::Duplicates: {
                const int64_t v = static_cast<int64_t>(rng_() % 12) - 3;
                return rng_() % 2 ? I(v) : F(static_cast<double>(v));
            }
            case Pattern::Specials:
                if (rng_() % 3 == 0) return random_number(rng_);
                return specials()[rng_() % specials().size()];
            case Pattern::Mixed: return value_for(static_cast<Pattern>(rng_() % 5));
        }
        return I(0);
    }

    std::mt19937_64& rng() { return rng_; }

private:
    Pattern pattern_;
    std::mt19937_64 rng_;
    int64_t counter_ = 0;
};

// Whether inserting key would meet an equal separator on its way down.
bool meets_separator(const BitMapBTree& t, u128 key) {
    const BitMapBTreeNode* n = &t.root();
    while (const InternalNode* in = n->internal()) {
        const size_t s = in->start + in->key_position(key);
        if (in->keys[s].key == key) return true;
        n = &in->children[s];
    }
    return false;
}

// Sorted keys (a vector: the queries walk it, which is what the run time
// goes to) and each present id's value.
struct Reference {
    struct Keys {
        std::vector<u128> v;
        void insert(u128 k) { v.insert(std::lower_bound(v.begin(), v.end(), k), k); }
        void erase(u128 k) {
            auto it = std::lower_bound(v.begin(), v.end(), k);
            if (it != v.end() && *it == k) v.erase(it);
        }
        size_t count(u128 k) const { return std::binary_search(v.begin(), v.end(), k) ? 1 : 0; }
        size_t size() const { return v.size(); }
    };
    Keys keys;
    std::unordered_map<uint32_t, RangeValue> value_of;

    // Ids in range for which keep(id) holds, by walking the sorted keys.
    template <class Keep>
    Bitmap query_if(const Bound& lower, const Bound& upper, Keep keep) const {
        auto it = keys.v.begin();
        if (lower.kind != BoundKind::Unbounded)
            it = std::lower_bound(keys.v.begin(), keys.v.end(), vp(lower.value) << 32);
        const u128 lo = lower.kind == BoundKind::Unbounded ? 0 : vp(lower.value);
        const u128 hi = upper.kind == BoundKind::Unbounded ? 0 : vp(upper.value);
        Ids out;
        for (; it != keys.v.end(); ++it) {
            const u128 v = *it >> 32;
            if (lower.kind == BoundKind::Excluded && v == lo) continue;
            if (upper.kind == BoundKind::Included && v > hi) break;
            if (upper.kind == BoundKind::Excluded && v >= hi) break;
            const uint32_t id = static_cast<uint32_t>(*it);
            if (keep(id)) out.push_back(id);
        }
        return bitmap_of(out);
    }
    Bitmap query(const Bound& lower, const Bound& upper, const Bitmap& filter) const {
        return query_if(lower, upper, [&](uint32_t id) { return filter.contains(id); });
    }
    // Ids for which keep(id) holds by value part (ascending or descending),
    // then ascending id; the first `limit` of them.
    template <class Keep>
    Ids ordered_if(bool descending, size_t limit, Keep keep) const {
        std::vector<u128> kept;
        for (u128 k : keys.v)
            if (keep(static_cast<uint32_t>(k))) kept.push_back(k);
        if (descending) {
            std::stable_sort(kept.begin(), kept.end(), [](u128 a, u128 b) {
                if ((a >> 32) != (b >> 32)) return (a >> 32) > (b >> 32);
                return static_cast<uint32_t>(a) < static_cast<uint32_t>(b);
            });
        }
        Ids out;
        for (size_t i = 0; i < kept.size() && i < limit; ++i)
            out.push_back(static_cast<uint32_t>(kept[i]));
        return out;
    }
};

struct Phase {
    int ops;
    int insert_pct;
    int remove_pct;  // the rest are queries
};

// Ids are spread over eight bitmap containers across the whole 32-bit
// range, up to the top one.
uint32_t corvane_test_scatter(uint32_t i) {
    return (i % 8) * 0x20000000u + i / 8 + (i % 8 == 7 ? 0x1FFF0000u : 0);
}
uint32_t corvane_test_unscatter(uint32_t id) {
    const uint32_t r = id >> 29;
    const uint32_t q = id - r * 0x20000000u - (r == 7 ? 0x1FFF0000u : 0);
    return q * 8 + r;
}

// Ids are spread over the whole 32-bit range, or `dense` (0 to 39,999), where
// the tree answers small filters from its column.
// With `batches`, inserted pairs gather in batches of random size (some
// given twice) entered with insert_many before the next other operation.
void run_differential(Pattern pattern, uint64_t seed, int scale, bool dense = false,
                      bool batches = false) {
    const auto scatter = [dense](uint32_t i) { return dense ? i : corvane_test_scatter(i); };
    const auto unscatter = [dense](uint32_t id) { return dense ? id : corvane_test_unscatter(id); };
    SCOPED_TRACE("seed " + std::to_string(seed));
    Scenario sc(pattern, seed);
    auto& rng = sc.rng();
    BitMapBTree tree;
    Reference ref;
    constexpr uint32_t kIdPool = 40000;
    constexpr size_t kMaxEntries = 9000;  // enough for three levels

    // Filters: everything, a random half, a sparse few, nothing.
    // Each also as a membership table by pool index, for the reference.
    std::vector<Bitmap> filters;
    std::vector<std::vector<bool>> member(4, std::vector<bool>(kIdPool));
    {
        Ids everything, half, few;
        for (uint32_t i = 0; i < kIdPool; ++i) {
            ASSERT_EQ(unscatter(scatter(i)), i);
            everything.push_back(scatter(i));
            member[0][i] = true;
            if (rng() % 2) {
                half.push_back(scatter(i));
                member[1][i] = true;
            }
            if (rng() % 200 == 0) {
                few.push_back(scatter(i));
                member[2][i] = true;
            }
        }
        filters.push_back(bitmap_of(everything));
        filters.push_back(bitmap_of(half));
        filters.push_back(bitmap_of(few));
        filters.push_back(Bitmap());
    }

    std::vector<std::pair<RangeValue, uint32_t>> removed;  // candidates for reinsertion
    std::vector<uint32_t> present;                         // ids in the tree
    size_t refused = 0, through_separator = 0, queries = 0, nonempty = 0;

    auto random_present = [&]() -> size_t { return static_cast<size_t>(rng() % present.size()); };

    std::vector<CompositeKey128> batch;
    size_t batch_goal = 1;
    auto flush = [&]() {
        if (batch.empty()) return;
        tree.insert_many(batch);
        batch.clear();
        batch_goal = 1 + static_cast<size_t>(rng() % 3 == 0 ? rng() % 3000 : rng() % 40);
    };

    auto do_insert = [&](RangeValue v, uint32_t id) {
        const CompositeKey128 k = CompositeKey128::make(v, id);
        if (batches) {
            batch.push_back(k);
            if (rng() % 16 == 0) batch.push_back(k);
            ref.keys.insert(k.key);
            ref.value_of[id] = v;
            present.push_back(id);
            if (batch.size() >= batch_goal) flush();
            return;
        }
        // A pair that left the tree may come back through its old separator.
        if (meets_separator(tree, k.key)) ++through_separator;
        ASSERT_TRUE(tree.insert(v, id));
        // Now and then, offer a pair that is present: nothing may change.
        if (rng() % 16 == 0) {
            ASSERT_FALSE(tree.insert(v, id));
            ++refused;
        }
        ref.keys.insert(k.key);
        ref.value_of[id] = v;
        present.push_back(id);
    };

    auto do_remove = [&]() {
        if (!present.empty() && rng() % 8 != 0) {
            const size_t at = random_present();
            const uint32_t id = present[at];
            RangeValue v = ref.value_of.at(id);
            // The same number of the other kind names the same entry.
            if (v.kind == RangeValue::Kind::Int && v.i > -(int64_t{1} << 52) &&
                v.i < (int64_t{1} << 52) && rng() % 2)
                v = F(static_cast<double>(v.i));
            ASSERT_TRUE(tree.remove(v, id));
            ref.keys.erase(CompositeKey128::make(v, id).key);
            ref.value_of.erase(id);
            present[at] = present.back();
            present.pop_back();
            removed.emplace_back(v, id);
            if (removed.size() > 2000) removed.erase(removed.begin(), removed.begin() + 1000);
        } else {
            // A pair that is (almost always) absent.
            const RangeValue v = sc.next_value();
            const uint32_t id = scatter(static_cast<uint32_t>(rng() % kIdPool));
            const bool there = ref.keys.count(CompositeKey128::make(v, id).key) == 1;
            ASSERT_EQ(tree.remove(v, id), there);
            if (there) {
                ref.keys.erase(CompositeKey128::make(v, id).key);
                ref.value_of.erase(id);
                std::erase(present, id);
            }
        }
    };

    auto random_bound = [&]() -> Bound {
        const unsigned r = static_cast<unsigned>(rng() % 10);
        if (r == 0) return Bound::unbounded();
        RangeValue v;
        const unsigned src = static_cast<unsigned>(rng() % 3);
        if (src == 0 && !present.empty()) {
            v = ref.value_of.at(present[random_present()]);
        } else if (src == 1) {
            v = specials()[rng() % specials().size()];
        } else {
            v = sc.next_value();
        }
        return r <= 4 ? Bound::included(v) : Bound::excluded(v);
    };

    auto do_query = [&]() {
        Bound lo = random_bound();
        Bound hi = random_bound();
        const size_t n = ref.keys.size();
        if (n > 0 && rng() % 5 < 3) {
            // Narrow: between the values of two entries close in key order,
            // so that both bounds fall on stored values inside leaves.
            const size_t i = static_cast<size_t>(rng() % n);
            const size_t j = std::min(n - 1, i + static_cast<size_t>(rng() % 150));
            const RangeValue a = ref.value_of.at(static_cast<uint32_t>(ref.keys.v[i]));
            const RangeValue b = ref.value_of.at(static_cast<uint32_t>(ref.keys.v[j]));
            lo = rng() % 2 ? Bound::included(a) : Bound::excluded(a);
            hi = rng() % 2 ? Bound::included(b) : Bound::excluded(b);
        } else if (rng() % 4 != 0 && lo.kind != BoundKind::Unbounded &&
                   hi.kind != BoundKind::Unbounded && vp(hi.value) < vp(lo.value)) {
            std::swap(lo.value, hi.value);  // mostly sensible ranges
        }
        const size_t f = rng() % 8 < 5 ? 0 : rng() % filters.size();
        const Bitmap got = tree.query_range(lo, hi, filters[f]);
        const std::vector<bool>& in = member[f];
        const Bitmap want = ref.query_if(lo, hi, [&](uint32_t id) { return in[unscatter(id)]; });
        ++queries;
        if (!want.empty()) ++nonempty;
        ASSERT_TRUE(got == want) << "query " << queries << ": got " << got.cardinality()
                                 << " ids, want " << want.cardinality();
        if (f == 0) {
            // The planner's count: exact for exact bounds, never below the
            // answer for inexact ones.
            const uint64_t counted = tree.count_range(lo, hi);
            const auto inexact = [](const Bound& b) {
                return b.kind != BoundKind::Unbounded && b.value.inexact();
            };
            if (inexact(lo) || inexact(hi)) {
                ASSERT_GE(counted, want.cardinality()) << "count of query " << queries;
            } else {
                ASSERT_EQ(counted, want.cardinality()) << "count of query " << queries;
            }
        }
        if (queries % 16 == 0) {
            // The ordered walk, over the same filter: short and unlimited
            // answers, both directions.
            const bool descending = rng() % 2 == 0;
            const size_t limit = rng() % 4 == 0 ? SIZE_MAX : static_cast<size_t>(rng() % 40);
            const std::vector<uint32_t> ordered = tree.ordered_ids(descending, limit, filters[f]);
            ASSERT_EQ(ordered, ref.ordered_if(descending, limit,
                                              [&](uint32_t id) { return in[unscatter(id)]; }))
                << "ordered walk after query " << queries
                << (descending ? ", descending" : ", ascending") << ", limit " << limit;
        }
    };

    const Phase phases[] = {
        {45 * scale, 75, 10},  // grow
        {30 * scale, 43, 43},  // churn, with reinsertions
        {15 * scale, 10, 76},  // shrink: many leaves run empty
        {10 * scale, 75, 10},  // grow again through emptied leaves
    };
    int op = 0;
    for (const Phase& ph : phases) {
        for (int i = 0; i < ph.ops; ++i, ++op) {
            const int roll = static_cast<int>(rng() % 100);
            // Trees are capped in size: the reference answers queries by
            // walking the range, which dominates the run time.
            if (roll < ph.insert_pct && ref.keys.size() < kMaxEntries) {
                if (!removed.empty() && rng() % 3 == 0) {
                    const size_t at = static_cast<size_t>(rng() % removed.size());
                    const auto [v, id] = removed[at];
                    removed[at] = removed.back();
                    removed.pop_back();
                    if (ref.value_of.count(id) == 0) do_insert(v, id);
                } else {
                    uint32_t id;
                    do {
                        id = scatter(static_cast<uint32_t>(rng() % kIdPool));
                    } while (ref.value_of.count(id) != 0);
                    do_insert(sc.next_value(), id);
                }
            } else if (roll < ph.insert_pct + ph.remove_pct) {
                flush();
                do_remove();
            } else {
                flush();
                do_query();
            }
            if (::testing::Test::HasFatalFailure()) {
                ADD_FAILURE() << "at operation " << op;
                return;
            }
            if (op % 500 == 499) {
                flush();
                ASSERT_EQ(tree.size(), ref.keys.size());
                ASSERT_NO_THROW(tree.validate()) << "after operation " << op;
            }
        }
    }
    flush();
    tree.validate();
    EXPECT_EQ(tree.size(), ref.keys.size());
    // The run must have exercised what it is meant to.
    EXPECT_GT(nonempty, queries / 4);
    ::testing::Test::RecordProperty("height", std::to_string(tree.height()));
    ::testing::Test::RecordProperty("refused", std::to_string(refused));
    ::testing::Test::RecordProperty("through_separator", std::to_string(through_separator));
}

}  // namespace

// scale 1000 gives 100,000 operations per run; the six runs below add up
// to about 430,000.
TEST(BitMapBTreeDifferential, AscendingValues) { run_differential(Pattern::Ascending, 11, 800); }
TEST(BitMapBTreeDifferential, DescendingValues) { run_differential(Pattern::Descending, 12, 800); }
TEST(BitMapBTreeDifferential, RandomValues) { run_differential(Pattern::Random, 13, 1000); }
TEST(BitMapBTreeDifferential, HeavilyDuplicatedValues) {
    run_differential(Pattern::Duplicates, 14, 600);
}
TEST(BitMapBTreeDifferential, SpecialValues) { run_differential(Pattern::Specials, 15, 300); }
TEST(BitMapBTreeDifferential, MixedValues) { run_differential(Pattern::Mixed, 16, 800); }
TEST(BitMapBTreeDifferential, DenseIdsRandomValues) {
    run_differential(Pattern::Random, 17, 1000, true);
}
TEST(BitMapBTreeDifferential, DenseIdsMixedValuesInBatches) {
    run_differential(Pattern::Mixed, 18, 800, true, true);
}
TEST(BitMapBTreeDifferential, DuplicatedValuesInBatches) {
    run_differential(Pattern::Duplicates, 19, 600, false, true);
}
TEST(BitMapBTreeDifferential, SpecialValuesInBatches) {
    run_differential(Pattern::Specials, 20, 300, true, true);
}

// Deep trees: a long ascending run reaches three levels and splits internal
// nodes, including the internal root.
TEST(BitMapBTreeDifferential, InternalSplitsKeepBitmapsExact) {
    BitMapBTree t;
    Reference ref;
    std::mt19937_64 rng(5);
    for (uint32_t i = 0; i < 12000; ++i) {
        const RangeValue v = i % 2 ? I(i) : F(static_cast<double>(i));
        t.insert(v, corvane_test_scatter(i));
        ref.keys.insert(CompositeKey128::make(v, corvane_test_scatter(i)).key);
    }
    t.validate();
    ASSERT_GE(t.height(), 3u);
    const Bitmap all = all_ids(std::numeric_limits<uint32_t>::max());
    for (int q = 0; q < 300; ++q) {
        const int64_t a = static_cast<int64_t>(rng() % 12500);
        const int64_t b = a + static_cast<int64_t>(rng() % 6000);
        const Bound lo = q % 2 ? Bound::included(I(a)) : Bound::excluded(F(static_cast<double>(a)));
        const Bound hi = q % 3 ? Bound::excluded(I(b)) : Bound::included(F(static_cast<double>(b)));
        ASSERT_TRUE(t.query_range(lo, hi, all) == ref.query(lo, hi, all)) << a << " " << b;
    }
}

// An internal node left with one child whose neighbour holds too many
// children to merge with takes part of the neighbour's, from either side.
TEST(BitMapBTree, LoneInternalNodeTakesChildrenFromAFullNeighbour) {
    for (const bool from_left : {false, true}) {
        SCOPED_TRACE(from_left ? "neighbour on the left" : "neighbour on the right");
        BitMapBTree t;
        Reference ref;
        const auto enter = [&](int64_t v, uint32_t id) {
            ASSERT_TRUE(t.insert(I(v), id));
            ref.keys.insert(CompositeKey128::make(I(v), id).key);
        };
        const auto leave = [&](int64_t v, uint32_t id) {
            ASSERT_TRUE(t.remove(I(v), id));
            ref.keys.erase(CompositeKey128::make(I(v), id).key);
        };
        for (uint32_t i = 0; i < 20000; ++i) enter(int64_t{i} * 1000, i);
        const InternalNode* root = t.root().internal();
        ASSERT_NE(root, nullptr);
        ASSERT_GE(root->len, 2u);
        const size_t big = root->start + (from_left ? 0 : 1);
        const size_t lone = root->start + (from_left ? 1 : 0);
        // Fill the neighbour's leaves until it has 85 children or more.
        const auto range_of = [&](size_t s) {
            const uint32_t lo = *ids_of(*root->bitmaps[s]).begin();
            const uint32_t hi = ids_of(*root->bitmaps[s]).back();
            return std::pair<uint32_t, uint32_t>(lo, hi);
        };
        // Fill the neighbours' leaves until each has 85 children or more, so
        // that the emptied node merges with neither.
        std::mt19937_64 rng(7);
        uint32_t next_id = 100000;
        for (size_t s = root->start; s < root->start + root->len; ++s) {
            if (s == lone) continue;
            const auto [lo, hi] = range_of(s);
            while (root->children[s].internal()->len < 85) {
                const uint32_t at = lo + static_cast<uint32_t>(rng() % (hi - lo));
                enter(int64_t{at} * 1000 + 1 + static_cast<int64_t>(rng() % 998), next_id++);
            }
        }
        t.validate();
        // Empty the other node down to a few entries of one leaf.
        const auto [lone_lo, lone_hi] = range_of(lone);
        const size_t big_len = root->children[big].internal()->len;
        for (uint32_t i = lone_lo; i + 3 <= lone_hi; ++i) {
            leave(int64_t{i} * 1000, i);
            if (i % 50 == 0) t.validate();
        }
        t.validate();
        EXPECT_GE(root->children[lone].internal()->len, 2u);
        EXPECT_LT(root->children[big].internal()->len, big_len);
        const Bitmap all = all_ids(std::numeric_limits<uint32_t>::max());
        for (int q = 0; q < 200; ++q) {
            const int64_t a = static_cast<int64_t>(rng() % 20000000);
            const int64_t b = a + static_cast<int64_t>(rng() % 3000000);
            const Bound lo = Bound::included(I(a));
            const Bound hi = Bound::excluded(I(b));
            ASSERT_TRUE(t.query_range(lo, hi, all) == ref.query(lo, hi, all)) << a << " " << b;
        }
    }
}

namespace {

// A window of `live` entries sliding through `cycles` insertions: each
// cycle enters a new pair and removes the oldest, or now and then a random
// live one.  The tree is validated after every step and answers are
// checked against the reference; the nodes must follow the live entries.
void run_window(Pattern pattern, bool scattered, size_t live, size_t cycles, uint64_t seed,
                size_t validate_every = 1) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Scenario sc(pattern, seed);
    auto& rng = sc.rng();
    BitMapBTree t;
    Reference ref;
    std::vector<std::pair<RangeValue, uint32_t>> window;  // oldest first
    size_t oldest = 0;
    const Bitmap all = all_ids(std::numeric_limits<uint32_t>::max());
    size_t most_nodes = 0;
    for (uint32_t c = 0; c < cycles; ++c) {
        const uint32_t id = scattered ? corvane_test_scatter(c) : c;
        const RangeValue v = sc.next_value();
        ASSERT_TRUE(t.insert(v, id));
        ref.keys.insert(CompositeKey128::make(v, id).key);
        window.emplace_back(v, id);
        if (window.size() - oldest > live) {
            size_t at = oldest;
            if (rng() % 4 == 0) {
                at = oldest + static_cast<size_t>(rng() % (window.size() - oldest));
                std::swap(window[at], window[oldest]);
                at = oldest;
            }
            const auto [rv, rid] = window[at];
            ASSERT_TRUE(t.remove(rv, rid));
            ref.keys.erase(CompositeKey128::make(rv, rid).key);
            ++oldest;
            if (oldest > 4 * live) {
                window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(oldest));
                oldest = 0;
            }
        }
        if (c % validate_every == 0) {
            ASSERT_NO_THROW(t.validate()) << "after cycle " << c;
        }
        if (c % 16 == 0 && !ref.keys.v.empty()) {
            const size_t n = ref.keys.size();
            const size_t i = static_cast<size_t>(rng() % n);
            const size_t j = std::min(n - 1, i + static_cast<size_t>(rng() % 300));
            const RangeValue a = RangeValue::of_encoded(ref.keys.v[i] >> 32);
            const RangeValue b = RangeValue::of_encoded(ref.keys.v[j] >> 32);
            const Bound lo = rng() % 2 ? Bound::included(a) : Bound::excluded(a);
            const Bound hi = rng() % 2 ? Bound::included(b) : Bound::excluded(b);
            ASSERT_TRUE(t.query_range(lo, hi, all) == ref.query(lo, hi, all)) << "cycle " << c;
        }
        if (c >= 4 * live) most_nodes = std::max(most_nodes, count_nodes(t.root()));
    }
    EXPECT_EQ(t.size(), ref.keys.size());
    // Each leaf holds 16 entries or more on average (merged neighbours
    // hold more than kMergeFill together), whatever the number of cycles.
    EXPECT_LE(most_nodes, 8 + live / 16) << "nodes for " << live << " live entries";
    // Emptied, the tree is one empty leaf again.
    for (size_t i = oldest; i < window.size(); ++i) {
        ASSERT_TRUE(t.remove(window[i].first, window[i].second));
        if (i % validate_every == 0) {
            ASSERT_NO_THROW(t.validate());
        }
    }
    t.validate();
    EXPECT_EQ(t.size(), 0u);
    EXPECT_EQ(count_nodes(t.root()), 1u);
}

}  // namespace

TEST(BitMapBTreeWindow, AscendingValuesAndIds) {
    run_window(Pattern::Ascending, false, 500, 30000, 31);
}
TEST(BitMapBTreeWindow, DescendingValues) {
    run_window(Pattern::Descending, false, 500, 30000, 32);
}
TEST(BitMapBTreeWindow, RandomValuesScatteredIds) {
    run_window(Pattern::Random, true, 1500, 20000, 33);
}
TEST(BitMapBTreeWindow, DuplicatedValues) {
    run_window(Pattern::Duplicates, false, 800, 20000, 34);
}
TEST(BitMapBTreeWindow, MixedValues) { run_window(Pattern::Mixed, false, 800, 20000, 35); }
// Three levels: internal nodes merge and lend children as well.
TEST(BitMapBTreeWindow, DeepTreeRandomValues) {
    run_window(Pattern::Random, false, 12000, 60000, 36, 97);
}
TEST(BitMapBTreeWindow, DeepTreeAscendingValues) {
    run_window(Pattern::Ascending, true, 12000, 60000, 37, 97);
}

// ---------------------------------------------------------------------------
// Numbers beyond the value part's precision

namespace {

std::vector<uint32_t> limbs(uint64_t v) {
    std::vector<uint32_t> out;
    for (; v != 0; v >>= 32) out.push_back(static_cast<uint32_t>(v));
    return out;
}

ExactNumber exact(bool negative, uint64_t num, uint64_t den, int64_t exp10 = 0) {
    ExactNumber x;
    x.negative = negative;
    x.num = limbs(num);
    x.den = limbs(den);
    x.exp10 = exp10;
    return x;
}

}  // namespace

TEST(ExactNumber, ComparesAcrossPowersOfTenAndDenominators) {
    EXPECT_EQ(compare_exact(exact(false, 1, 1, -1), exact(false, 1, 10)), 0);  // 0.1 and 1/10
    EXPECT_EQ(compare_exact(exact(false, 1, 3), exact(false, 3333333333333333333u, 1, -19)), 1);
    EXPECT_EQ(compare_exact(exact(true, 1, 3), exact(true, 3333333333333333333u, 1, -19)), -1);
    EXPECT_EQ(compare_exact(exact(false, 1, 1, 999999999), exact(false, 2, 1, 999999999)), -1);
    EXPECT_EQ(compare_exact(exact(false, 1, 1, INT64_MAX), exact(false, 1, 1, INT64_MIN)), 1);
    EXPECT_EQ(compare_exact(exact(false, 10, 1, 29), exact(false, 1, 1, 30)), 0);
    EXPECT_EQ(compare_exact(exact(false, 1, 1, 30), exact(false, 1000000000000000001u, 1, 12)), -1);
    EXPECT_EQ(compare_exact(exact(true, 5, 1), exact(false, 1, 1, -400)), -1);
}

TEST(RangeQuery, InexactNumbersSharingAValuePartCompareExactly) {
    // 100 + 1/k for k in 2..9 all sit just above 100: one value part, with
    // the inexact flag, between the ints 100 and 101.
    const u128 shared = vp(I(100)) | 1;
    std::vector<std::unique_ptr<OrderedKey>> keys;
    std::vector<std::pair<uint64_t, uint64_t>> fraction;  // numerator, denominator
    for (uint64_t k = 2; k <= 9; ++k) {
        auto key = std::make_unique<OrderedKey>();
        key->value_part = shared;
        key->exact = exact(false, 100 * k + 1, k);
        keys.push_back(std::move(key));
        fraction.emplace_back(100 * k + 1, k);
    }
    for (int64_t n = 99; n <= 102; ++n) fraction.emplace_back(static_cast<uint64_t>(n), 1);
    // Entry i holds value i % 12: the inexact keys first, then the ints.
    const uint32_t count = 600;
    const auto value_of = [&](uint32_t id) {
        const size_t v = id % fraction.size();
        return v < keys.size() ? RangeValue::of_inexact(keys[v].get())
                               : I(static_cast<int64_t>(v) - 8 + 99);
    };
    // Entered one by one, in one batch, and in a small batch then a larger
    // one (built again with the ties already there) and a few single pairs.
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE("way " + std::to_string(way));
        BitMapBTree tree;
        std::vector<CompositeKey128> batch;
        for (uint32_t id = 0; id < count; ++id) {
            if (way == 0 || (way == 2 && id >= count - 5)) {
                ASSERT_TRUE(tree.insert(value_of(id), id));
                continue;
            }
            batch.push_back(CompositeKey128::make(value_of(id), id));
            if (way == 2 && (id == 99 || id == count - 6)) {
                tree.insert_many(batch);
                batch.clear();
            }
        }
        if (!batch.empty()) tree.insert_many(batch);
        for (uint32_t id = 0; id < count; id += 7) ASSERT_TRUE(tree.remove(value_of(id), id));
        tree.validate();
        const auto present = [](uint32_t id) { return id % 7 != 0; };
        // a/b < c/d, exactly.
        const auto less = [&](size_t x, size_t y) {
            return static_cast<unsigned __int128>(fraction[x].first) * fraction[y].second <
                   static_cast<unsigned __int128>(fraction[y].first) * fraction[x].second;
        };
        const Bitmap everything = all_ids(count);
        for (size_t b = 0; b < fraction.size(); ++b) {
            const RangeValue bound = value_of(static_cast<uint32_t>(b));
            for (BoundKind lk : {BoundKind::Included, BoundKind::Excluded, BoundKind::Unbounded}) {
                for (BoundKind uk :
                     {BoundKind::Included, BoundKind::Excluded, BoundKind::Unbounded}) {
                    for (size_t u = 0; u < fraction.size(); u += 3) {
                        const RangeValue upper = value_of(static_cast<uint32_t>(u));
                        Ids want;
                        for (uint32_t id = 0; id < count; ++id) {
                            const size_t v = id % fraction.size();
                            const bool above = lk == BoundKind::Unbounded || less(b, v) ||
                                               (lk == BoundKind::Included && !less(v, b));
                            const bool below = uk == BoundKind::Unbounded || less(v, u) ||
                                               (uk == BoundKind::Included && !less(u, v));
                            if (present(id) && above && below) want.push_back(id);
                        }
                        const Bitmap got =
                            tree.query_range(Bound{lk, bound}, Bound{uk, upper}, everything);
                        ASSERT_EQ(ids_of(got), want) << b << " " << u;
                    }
                }
            }
        }
        for (bool descending : {false, true}) {
            Ids want;
            for (uint32_t id = 0; id < count; ++id)
                if (present(id)) want.push_back(id);
            std::stable_sort(want.begin(), want.end(), [&](uint32_t x, uint32_t y) {
                const size_t a = x % fraction.size(), b = y % fraction.size();
                return descending ? less(b, a) : less(a, b);
            });
            for (size_t limit : {size_t{1}, size_t{45}, size_t{100}, size_t{10000}}) {
                const Ids got = tree.ordered_ids(descending, limit, everything);
                ASSERT_EQ(got, Ids(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(
                                                                    std::min(limit, want.size()))))
                    << descending << " " << limit;
            }
        }
    }
}
