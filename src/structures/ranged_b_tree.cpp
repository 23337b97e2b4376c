#include "structures/ranged_b_tree.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>

namespace corvane {

// ---------------------------------------------------------------------------
// Key encoding

namespace {

// Value part (head << 64 | tail) of a value.
u128 encode_value(RangeValue v) {
    switch (v.kind) {
        case RangeValue::Kind::Int: return int_value_part(v.i);
        case RangeValue::Kind::Float: return double_value_part(v.f);
        case RangeValue::Kind::Encoded: return (static_cast<u128>(v.high) << 64) | v.low;
        case RangeValue::Kind::Inexact: return v.key->value_part;
    }
    return 0;
}

}  // namespace

CompositeKey128 CompositeKey128::make(RangeValue v, uint32_t id) {
    CompositeKey128 k;
    k.value = v;
    k.key = (encode_value(v) << 32) | id;
    return k;
}

u128 CompositeKey128::value_part_of(RangeValue v) { return encode_value(v); }

// ---------------------------------------------------------------------------
// Node handle

BitMapBTreeNode::BitMapBTreeNode(std::unique_ptr<LeafNode> leaf) {
    if (leaf) node_ = std::move(leaf);
}
BitMapBTreeNode::BitMapBTreeNode(std::unique_ptr<InternalNode> internal) {
    if (internal) node_ = std::move(internal);
}
BitMapBTreeNode::BitMapBTreeNode(BitMapBTreeNode&& o) noexcept
    : node_(std::exchange(o.node_, std::monostate{})) {}
BitMapBTreeNode& BitMapBTreeNode::operator=(BitMapBTreeNode&& o) noexcept {
    if (this != &o) node_ = std::exchange(o.node_, std::monostate{});
    return *this;
}
BitMapBTreeNode::~BitMapBTreeNode() = default;

namespace {

// f applied to the node of either kind that n holds, or `empty` when n
// holds none.
template <class F, class R>
R on_window(const BitMapBTreeNode& n, F f, R empty) {
    if (const LeafNode* l = n.leaf()) return f(*l);
    if (const InternalNode* in = n.internal()) return f(*in);
    return empty;
}

}  // namespace

size_t BitMapBTreeNode::len() const {
    return on_window(
        *this, [](const auto& w) { return w.len; }, size_t{0});
}

size_t BitMapBTreeNode::start() const {
    return on_window(
        *this, [](const auto& w) { return w.start; }, size_t{0});
}

bool BitMapBTreeNode::is_full() const {
    return on_window(
        *this, [](const auto& w) { return w.is_full(); }, false);
}

TreeKey BitMapBTreeNode::first_key() const {
    return on_window(
        *this, [](const auto& w) { return w.keys[w.start]; }, TreeKey{});
}

Bitmap BitMapBTreeNode::id_bitmap() const {
    if (const LeafNode* l = leaf()) return l->id_bitmap();
    if (const InternalNode* n = internal()) return n->get_bitmap();
    return Bitmap();
}

std::pair<TreeKey, BitMapBTreeNode> BitMapBTreeNode::split(bool appending) {
    if (LeafNode* l = leaf()) {
        auto [sep, right] = l->split(appending);
        return {sep, BitMapBTreeNode(std::move(right))};
    }
    if (InternalNode* n = internal()) {
        auto [sep, right] = n->split(appending);
        return {sep, BitMapBTreeNode(std::move(right))};
    }
    fail("Missing child");
}

bool BitMapBTreeNode::appends(u128 x) const {
    if (const LeafNode* l = leaf()) return l->len > 0 && l->keys[l->start + l->len - 1].key < x;
    if (const InternalNode* n = internal())
        return n->len > 0 && n->keys[n->start + n->len - 1].key <= x;
    return false;
}

bool BitMapBTreeNode::insert(const TreeKey& entry) {
    if (LeafNode* l = leaf()) return l->insert_non_full(entry);
    if (InternalNode* n = internal()) return n->insert(entry);
    fail("Missing child");
}

// ---------------------------------------------------------------------------
// Window search and moves shared by both node kinds

namespace {

// Halving search: the index within the window of the last key for which
// `not_greater(key)` holds, or 0 when it holds for none.  The predicate must
// hold on a prefix of the window.
template <class Pred>
size_t halving_position(const std::array<TreeKey, kNodeSlots>& keys, size_t start, size_t len,
                        Pred not_greater) {
    size_t lo = 0;
    size_t size = len;
    while (size > 1) {
        const size_t half = size / 2;
        if (not_greater(keys[start + lo + half])) lo += half;
        size -= half;
    }
    return lo;
}

}  // namespace

// Out of line on purpose: written inline in the header, GCC compiled the
// probe in BitMapBTree::remove as a conditional move, and removal got
// slower, since each probe then waits for the previous load instead of
// running ahead of it.
template <class Node>
size_t NodeWindow<Node>::key_position(u128 x) const {
    return halving_position(self().keys, self().start, self().len,
                            [x](const TreeKey& k) { return k.key <= x; });
}

template <class Node>
void NodeWindow<Node>::recenter() {
    Node& node = self();
    const size_t target = (kNodeSlots - node.len) / 2;
    if (target == node.start) return;
    node.move_run(node.start, node.len, node, target);
    node.start = target;
}

template <class Node>
std::pair<TreeKey, std::unique_ptr<Node>> NodeWindow<Node>::split(bool appending) {
    Node& node = self();
    const size_t n = node.len;
    // The upper part keeps two entries when appending: an internal node
    // needs two children.
    const size_t h = appending ? n - 2 : n / 2;
    auto right = std::make_unique<Node>();
    right->start = kSplitRightStart;
    right->len = n - h;
    // Move the upper part out first: recentering the lower part may reuse
    // the slots it occupied.
    node.move_run(node.start + h, n - h, *right, kSplitRightStart);
    node.len = h;
    recenter();
    const TreeKey& sep = right->keys[kSplitRightStart];
    if (sep.is_empty()) fail("invalid offset");
    return {sep, std::move(right)};
}

template <class Node>
void NodeWindow<Node>::absorb(Node& right) {
    Node& node = self();
    const size_t total = node.len + right.len;
    if (total >= kNodeSlots) fail("invalid offset");
    const size_t target = (kNodeSlots - total) / 2;
    // The node's own run first: the right run lands just after it.
    if (target != node.start) node.move_run(node.start, node.len, node, target);
    node.start = target;
    right.move_run(right.start, right.len, node, target + node.len);
    node.len = total;
    right.len = 0;
}

template struct NodeWindow<LeafNode>;
template struct NodeWindow<InternalNode>;

// ---------------------------------------------------------------------------
// Leaf nodes

void LeafNode::move_run(size_t from, size_t count, LeafNode& dst, size_t to) {
    // memmove handles the overlap in either direction.
    std::memmove(static_cast<void*>(dst.keys.data() + to), keys.data() + from,
                 count * sizeof(TreeKey));
    // Empty the source slots the destination run does not cover.
    size_t vacated_begin = from;
    size_t vacated_end = from + count;
    if (&dst == this) {
        if (to < from) {
            vacated_begin = std::max(vacated_begin, to + count);
        } else {
            vacated_end = std::min(vacated_end, to);
        }
    }
    for (size_t i = vacated_begin; i < vacated_end; ++i) keys[i] = TreeKey{};
}

bool LeafNode::insert_non_full(const TreeKey& entry) {
    size_t k = 0;
    if (len > 0) {
        k = key_position(entry.key);
        if (keys[start + k].key == entry.key) return false;
        if (keys[start + k].key < entry.key) ++k;
    }
    // Shift the shorter side by one slot with a plain memmove rather than
    // move_run: the slot it vacates is where the entry goes, so emptying it
    // (a memset call in move_run) would be wasted on this hot path.
    TreeKey* base = keys.data();
    if (start > 0 && k < len / 2) {
        std::memmove(static_cast<void*>(base + start - 1), base + start, k * sizeof(TreeKey));
        --start;
    } else {
        if (start + len >= kNodeSlots) fail("invalid offset");
        std::memmove(static_cast<void*>(base + start + k + 1), base + start + k,
                     (len - k) * sizeof(TreeKey));
    }
    keys[start + k] = entry;
    ++len;
    recenter_at_end();
    return true;
}

void LeafNode::remove_at(size_t pos) {
    // A plain memmove, as in insert_non_full: only the one slot the window
    // gives up needs emptying.
    TreeKey* base = keys.data();
    if (pos >= len / 2) {
        // Close the gap from the back.
        std::memmove(static_cast<void*>(base + start + pos), base + start + pos + 1,
                     (len - pos - 1) * sizeof(TreeKey));
        keys[start + len - 1] = TreeKey{};
    } else {
        // Close the gap from the front.
        std::memmove(static_cast<void*>(base + start + 1), base + start, pos * sizeof(TreeKey));
        keys[start] = TreeKey{};
        ++start;
    }
    --len;
}

Bitmap LeafNode::id_bitmap() const {
    uint32_t ids[kNodeSlots];
    for (size_t i = 0; i < len; ++i) ids[i] = keys[start + i].id();
    return Bitmap::of(ids, len);
}

// ---------------------------------------------------------------------------
// Internal nodes

void InternalNode::move_slot(InternalNode& dst, size_t from, size_t to) {
    dst.keys[to] = keys[from];
    keys[from] = TreeKey{};
    dst.children[to] = std::move(children[from]);
    dst.bitmaps[to] = std::move(bitmaps[from]);
    bitmaps[from].reset();
}

void InternalNode::move_run(size_t from, size_t count, InternalNode& dst, size_t to) {
    // A run moving toward the back of its own node goes last slot first, so
    // that no slot is overwritten before it has moved.
    if (&dst == this && to > from) {
        for (size_t i = count; i-- > 0;) move_slot(dst, from + i, to + i);
    } else {
        for (size_t i = 0; i < count; ++i) move_slot(dst, from + i, to + i);
    }
}

void InternalNode::remove_slot(size_t s) {
    children[s] = BitMapBTreeNode();
    bitmaps[s].reset();
    keys[s] = TreeKey{};
    const size_t before = s - start;
    const size_t after = start + len - s - 1;
    if (before < after) {
        // The slots before it move one place toward the back (last first,
        // so the slot at the window start ends up empty).
        move_run(start, before, *this, start + 1);
        ++start;
    } else {
        move_run(s + 1, after, *this, s);
    }
    --len;
}

void InternalNode::shift_right(size_t from, size_t to, size_t by) {
    if (to + by > kNodeSlots) fail("invalid offset");
    move_run(from, to - from, *this, from + by);
    if (from == start) start += by;
}

Bitmap InternalNode::get_bitmap() const {
    const roaring_bitmap_t* parts[kNodeSlots];
    size_t n = 0;
    for (const auto& bm : bitmaps) {
        if (bm) parts[n++] = bm->raw();
    }
    if (n == 0) return Bitmap();
    if (n == 1) return Bitmap::adopt(roaring_bitmap_copy(parts[0]));
    return Bitmap::adopt(roaring_bitmap_or_many(n, parts));
}

bool InternalNode::insert(const TreeKey& entry) {
    // A separator equal to the key does not mean the pair is present: removal
    // leaves separators in place, so a pair that left and came back meets its
    // old separator.  Whether the pair is present is decided in the leaf.
    const size_t a = key_position(entry.key);
    const size_t s = start + a;
    BitMapBTreeNode& child = children[s];
    if (!child.present()) fail("Missing child");
    if (child.is_full()) return split_and_insert(entry, a);
    if (!bitmaps[s])
        fail(child.is_leaf() ? "Bitmap should be present for leaf"
                             : "Bitmap should be present for internal");
    const bool inserted = child.insert(entry);
    if (inserted) bitmaps[s]->add(entry.id());
    recenter_at_end();
    return inserted;
}

bool InternalNode::split_and_insert(const TreeKey& entry, size_t a) {
    const size_t s = start + a;
    // Checked before the split so that a failure leaves the child whole.
    if (!bitmaps[s]) fail("Bitmap must be initialized before split");
    if (start + len >= kNodeSlots) fail("invalid offset");

    auto [sep, right] = children[s].split(children[s].appends(entry.key));
    Bitmap right_bm = right.id_bitmap();
    // The lower half's ids are whatever the right half did not take.
    Bitmap left_bm = bitmaps[s]->andnot(right_bm);

    // Link the new right half before descending into either half, so that
    // a failure further down leaves every entry reachable and every bitmap
    // exact.
    bitmaps[s] = std::move(left_bm);
    shift_right(s + 1, start + len, 1);
    keys[s + 1] = sep;
    children[s + 1] = std::move(right);
    bitmaps[s + 1] = std::move(right_bm);
    ++len;

    // A key equal to the separator belongs to the upper half: every key
    // below a separator must be smaller than it, and the upper half is where
    // later searches for that key go (and where a present pair is found).
    const size_t target = entry.key < sep.key ? s : s + 1;
    const bool inserted = children[target].insert(entry);
    if (inserted) bitmaps[target]->add(entry.id());

    recenter_at_end();
    return inserted;
}

size_t InternalNode::get_key_index(u128 vp, KeyIndexMode mode) const {
    if (len <= 1) return 0;
    const size_t e =
        halving_position(keys, start, len, [vp](const TreeKey& k) { return k.value_part() <= vp; });
    if (keys[start + e].value_part() != vp) return e;
    if (mode == KeyIndexMode::LowerExcluded || mode == KeyIndexMode::UpperIncluded) return e;
    // Entries with this value part and ids below the run's first separator
    // can sit at the end of the child before the run.
    size_t r = e;
    while (r > 0 && keys[start + r - 1].value_part() == vp) --r;
    return r == 0 ? 0 : r - 1;
}

// ---------------------------------------------------------------------------
// Range queries
//
// The descent gathers two things: the ids of the entries of the (at most
// two) boundary leaves that lie in the range, and the bitmaps of the
// children lying wholly in the range.  The filter is applied once at the
// end.  Once the two boundaries part at some node, the lower-boundary child
// lies wholly below the upper bound and the upper-boundary child wholly
// above the lower bound, so each side continues with only its own bound;
// a side without a bound takes its outermost child whole.

namespace {

struct ResolvedBound {
    BoundKind kind;
    u128 vp;
};

ResolvedBound resolve(const Bound& b) {
    if (b.kind == BoundKind::Unbounded) return {b.kind, 0};
    return {b.kind, CompositeKey128::value_part_of(b.value)};
}

constexpr ResolvedBound kOpen{BoundKind::Unbounded, 0};

struct RangeScan {
    std::vector<const roaring_bitmap_t*> whole;
    std::vector<uint32_t> ids;
};

bool below_lower(const ResolvedBound& lower, u128 vp) {
    switch (lower.kind) {
        case BoundKind::Included: return vp < lower.vp;
        case BoundKind::Excluded: return vp <= lower.vp;
        case BoundKind::Unbounded: return false;
    }
    return false;
}

bool within_upper(const ResolvedBound& upper, u128 vp) {
    switch (upper.kind) {
        case BoundKind::Included: return vp <= upper.vp;
        case BoundKind::Excluded: return vp < upper.vp;
        case BoundKind::Unbounded: return true;
    }
    return true;
}

void scan_leaf(const LeafNode& leaf, const ResolvedBound& lower, const ResolvedBound& upper,
               RangeScan& out) {
    // Entries below the lower bound form a prefix of the window.
    size_t i = 0;
    if (lower.kind != BoundKind::Unbounded && leaf.len > 0) {
        i = halving_position(leaf.keys, leaf.start, leaf.len,
                             [&](const TreeKey& k) { return below_lower(lower, k.value_part()); });
        if (!below_lower(lower, leaf.keys[leaf.start + i].value_part())) {
            i = 0;  // nothing is skipped
        } else {
            ++i;  // i was the last skipped entry
        }
    }
    for (; i < leaf.len; ++i) {
        const TreeKey& k = leaf.keys[leaf.start + i];
        if (!within_upper(upper, k.value_part())) break;
        out.ids.push_back(k.id());
    }
}

void take_whole(const InternalNode& node, size_t pos, RangeScan& out) {
    const auto& bm = node.bitmaps[node.start + pos];
    if (bm) out.whole.push_back(bm->raw());
}

void scan_node(const BitMapBTreeNode& node, const ResolvedBound& lower, const ResolvedBound& upper,
               RangeScan& out);

void scan_internal(const InternalNode& node, const ResolvedBound& lower, const ResolvedBound& upper,
                   RangeScan& out) {
    if (node.len == 0) return;
    const size_t lo = lower.kind == BoundKind::Unbounded
                          ? 0
                          : node.get_key_index(lower.vp, lower.kind == BoundKind::Included
                                                             ? KeyIndexMode::LowerIncluded
                                                             : KeyIndexMode::LowerExcluded);
    const size_t hi = upper.kind == BoundKind::Unbounded
                          ? node.len
                          : node.get_key_index(upper.vp, upper.kind == BoundKind::Included
                                                             ? KeyIndexMode::UpperIncluded
                                                             : KeyIndexMode::UpperExcluded);
    // The bound positions cross only when the lower bound lies above the
    // upper one: nothing can match.
    if (lo > hi) return;
    if (lo == hi) {
        scan_node(node.children[node.start + lo], lower, upper, out);
        return;
    }
    if (lower.kind == BoundKind::Unbounded) {
        take_whole(node, lo, out);
    } else {
        scan_node(node.children[node.start + lo], lower, kOpen, out);
    }
    for (size_t i = lo + 1; i < hi && i < node.len; ++i) take_whole(node, i, out);
    if (hi < node.len) scan_node(node.children[node.start + hi], kOpen, upper, out);
}

void scan_node(const BitMapBTreeNode& node, const ResolvedBound& lower, const ResolvedBound& upper,
               RangeScan& out) {
    if (const LeafNode* leaf = node.leaf()) {
        scan_leaf(*leaf, lower, upper, out);
    } else if (const InternalNode* in = node.internal()) {
        scan_internal(*in, lower, upper, out);
    }
}

// Filter ∩ (boundary ids ∪ whole children).
Bitmap combine(const RangeScan& scan, const Bitmap& filter) {
    Bitmap result = Bitmap::of(scan.ids.data(), scan.ids.size());
    if (scan.whole.empty()) {
        result.and_inplace(filter);
        return result;
    }
    const uint64_t filter_card = filter.cardinality();
    uint64_t whole_card = 0;
    uint32_t lowest = UINT32_MAX;
    uint32_t highest = 0;
    for (const roaring_bitmap_t* bm : scan.whole) {
        const uint64_t card = roaring_bitmap_get_cardinality(bm);
        if (card == 0) continue;
        whole_card += card;
        lowest = std::min(lowest, roaring_bitmap_minimum(bm));
        highest = std::max(highest, roaring_bitmap_maximum(bm));
    }
    if (whole_card == 0) {
        result.and_inplace(filter);
        return result;
    }
    if (whole_card > 4 * filter_card) {
        // A filter much smaller than the children: intersect each child on
        // its own rather than uniting large bitmaps first.
        result.and_inplace(filter);
        for (const roaring_bitmap_t* bm : scan.whole) {
            Bitmap part = Bitmap::adopt(roaring_bitmap_and(bm, filter.raw()));
            result.or_inplace(part);
        }
        return result;
    }
    // Otherwise unite everything, then intersect once.  How to unite
    // depends on how dense the union gets per 2^16-id block: dense unions
    // go through bitsets (or_many); sparse ones stay in sorted arrays,
    // merged lazily when there are many children.
    const uint64_t blocks = (highest >> 16) - (lowest >> 16) + 1;
    if (whole_card >= 512 * blocks) {
        Bitmap united = Bitmap::adopt(roaring_bitmap_or_many(
            scan.whole.size(), const_cast<const roaring_bitmap_t**>(scan.whole.data())));
        result.or_inplace(united);
    } else if (scan.whole.size() <= 4) {
        for (const roaring_bitmap_t* bm : scan.whole) roaring_bitmap_or_inplace(result.raw(), bm);
    } else {
        for (const roaring_bitmap_t* bm : scan.whole)
            roaring_bitmap_lazy_or_inplace(result.raw(), bm, false);
        roaring_bitmap_repair_after_lazy(result.raw());
    }
    result.and_inplace(filter);
    return result;
}

}  // namespace

Bitmap BitMapBTreeNode::query_range(const Bound& lower, const Bound& upper,
                                    const Bitmap& filter) const {
    RangeScan scan;
    scan_node(*this, resolve(lower), resolve(upper), scan);
    return combine(scan, filter);
}

uint64_t BitMapBTree::count_range(const Bound& lower, const Bound& upper) const {
    RangeScan scan;
    const auto widen = [](const Bound& b) {
        return b.kind != BoundKind::Unbounded && b.value.inexact() ? Bound::included(b.value) : b;
    };
    scan_node(root_, resolve(widen(lower)), resolve(widen(upper)), scan);
    uint64_t n = scan.ids.size();
    for (const roaring_bitmap_t* bm : scan.whole) n += roaring_bitmap_get_cardinality(bm);
    return n;
}

// ---------------------------------------------------------------------------
// Tree

BitMapBTree::BitMapBTree() : root_(std::make_unique<LeafNode>()) {}

size_t BitMapBTree::height() const {
    size_t h = 0;
    const BitMapBTreeNode* node = &root_;
    while (node->present()) {
        ++h;
        const InternalNode* in = node->internal();
        if (in == nullptr) break;
        node = &in->children[in->start];
    }
    return h;
}

u128 BitMapBTree::lowest_value_part() const {
    const BitMapBTreeNode* node = &root_;
    while (const InternalNode* in = node->internal()) node = &in->children[in->start];
    const LeafNode* leaf = node->leaf();
    return leaf == nullptr || leaf->len == 0 ? 0 : leaf->keys[leaf->start].value_part();
}

u128 BitMapBTree::highest_value_part() const {
    const BitMapBTreeNode* node = &root_;
    while (const InternalNode* in = node->internal()) node = &in->children[in->start + in->len - 1];
    const LeafNode* leaf = node->leaf();
    return leaf == nullptr || leaf->len == 0 ? ~u128{0}
                                             : leaf->keys[leaf->start + leaf->len - 1].value_part();
}

bool BitMapBTree::insert(RangeValue v, uint32_t id) {
    // The id's column slot is read at the end: its cache miss overlaps the
    // descent.
    if (const PackedPart* slot = column_slot(id)) __builtin_prefetch(slot, 1);
    const CompositeKey128 entry = CompositeKey128::make(v, id);
    if (root_.is_full()) {
        // The root keeps the lower part; a new root above it takes both.
        auto [sep, right] = root_.split(root_.appends(entry.key));
        Bitmap left_bm = root_.id_bitmap();
        Bitmap right_bm = right.id_bitmap();
        auto top = std::make_unique<InternalNode>();
        top->start = kRootStart;
        top->len = 2;
        top->keys[kRootStart] = root_.first_key();
        top->bitmaps[kRootStart] = std::move(left_bm);
        top->keys[kRootStart + 1] = sep;
        top->children[kRootStart + 1] = std::move(right);
        top->bitmaps[kRootStart + 1] = std::move(right_bm);
        top->children[kRootStart] = std::move(root_);
        root_ = BitMapBTreeNode(std::move(top));
    }
    const bool inserted = root_.insert(entry.stored());
    if (!inserted) return false;
    ++size_;
    column_enter(id, entry.value_part());
    if (v.inexact()) enter_tie(entry);
    return true;
}

void BitMapBTree::enter_tie(const CompositeKey128& entry) {
    const RangeValue& v = entry.value;
    TieList& list = ties_[entry.value_part()];
    for (Tie& t : list) {
        if (compare_exact(*t.key.get()->exact, *v.key->exact) == 0) {
            t.ids.add(entry.id());
            return;
        }
    }
    list.push_back(Tie{OrderedRef::share(v.key), HybridSet::small_of(entry.id())});
}

namespace {

// Size of part g when `count` items are cut into `parts` parts as even as
// possible.
size_t part_size(size_t count, size_t parts, size_t g) {
    return count / parts + (g < count % parts ? 1 : 0);
}

bool key_less(const CompositeKey128& a, const CompositeKey128& b) { return a.key < b.key; }
bool key_equal(const CompositeKey128& a, const CompositeKey128& b) { return a.key == b.key; }

// One level of a tree built bottom-up: its nodes, left to right, with their
// id bitmaps and first keys.
struct BuiltLevel {
    std::vector<BitMapBTreeNode> nodes;
    std::vector<Bitmap> bitmaps;
    std::vector<TreeKey> firsts;

    explicit BuiltLevel(size_t count) {
        nodes.reserve(count);
        bitmaps.reserve(count);
        firsts.reserve(count);
    }
};

// The leaves holding `keys` (sorted, not empty) in order, cut as evenly as
// possible into leaves of at most `kBulkFill` keys.
BuiltLevel build_leaves(const std::vector<u128>& keys) {
    const size_t n = keys.size();
    const size_t leaves = (n + kBulkFill - 1) / kBulkFill;
    BuiltLevel level(leaves);
    for (size_t g = 0, at = 0; g < leaves; ++g) {
        const size_t len = part_size(n, leaves, g);
        auto leaf = std::make_unique<LeafNode>();
        leaf->start = (kNodeSlots - len) / 2;
        leaf->len = len;
        uint32_t ids[kNodeSlots];
        for (size_t i = 0; i < len; ++i) {
            leaf->keys[leaf->start + i] = TreeKey{keys[at + i]};
            ids[i] = static_cast<uint32_t>(keys[at + i]);
        }
        std::sort(ids, ids + len);
        level.bitmaps.push_back(Bitmap::of(ids, len));
        level.firsts.push_back(TreeKey{keys[at]});
        level.nodes.emplace_back(std::move(leaf));
        at += len;
    }
    return level;
}

// The parents of the nodes of `level` (more than one), whose nodes and
// bitmaps move into them.  Every parent holds at least two children: a
// single parent takes all of them, and several take at least 42 each.
BuiltLevel build_parents(BuiltLevel& level) {
    const size_t count = level.nodes.size();
    const size_t parents = (count + kBulkFill - 1) / kBulkFill;
    BuiltLevel up(parents);
    for (size_t g = 0, at = 0; g < parents; ++g) {
        const size_t len = part_size(count, parents, g);
        auto node = std::make_unique<InternalNode>();
        node->start = (kNodeSlots - len) / 2;
        node->len = len;
        const roaring_bitmap_t* parts[kNodeSlots];
        for (size_t i = 0; i < len; ++i) parts[i] = level.bitmaps[at + i].raw();
        up.bitmaps.push_back(Bitmap::adopt(roaring_bitmap_or_many(len, parts)));
        for (size_t i = 0; i < len; ++i) {
            const size_t s = node->start + i;
            node->keys[s] = level.firsts[at + i];
            node->children[s] = std::move(level.nodes[at + i]);
            node->bitmaps[s] = std::move(level.bitmaps[at + i]);
        }
        up.firsts.push_back(level.firsts[at]);
        up.nodes.emplace_back(std::move(node));
        at += len;
    }
    return up;
}

}  // namespace

void BitMapBTree::build_sorted(const std::vector<u128>& keys) {
    if (keys.empty()) return;
    BuiltLevel level = build_leaves(keys);
    while (level.nodes.size() > 1) level = build_parents(level);
    root_ = std::move(level.nodes.front());
    size_ = keys.size();
    column_rebuild();
}

void BitMapBTree::insert_many(std::vector<CompositeKey128>& pairs) {
    std::vector<u128> keys;
    std::vector<CompositeKey128> inexact;
    keys.reserve(pairs.size());
    for (const CompositeKey128& p : pairs) {
        if (p.value.inexact()) {
            inexact.push_back(p);
        } else {
            keys.push_back(p.key);
        }
    }
    // Twice the bytes of their keys: given back before the tree is built.
    std::vector<CompositeKey128>().swap(pairs);
    insert_many(keys, inexact);
}

void BitMapBTree::insert_many(std::vector<u128>& keys, std::vector<CompositeKey128>& inexact) {
    const size_t count = keys.size() + inexact.size();
    if (count == 0) return;
    std::sort(inexact.begin(), inexact.end(), key_less);
    if (size_ != 0 && count < size_) {
        // In key order, successive pairs walk down the same few nodes.
        std::sort(keys.begin(), keys.end());
        for (const u128 k : keys) insert(RangeValue::of_encoded(k >> 32), static_cast<uint32_t>(k));
        for (const CompositeKey128& p : inexact) insert(p.value, p.id());
        std::vector<u128>().swap(keys);
        std::vector<CompositeKey128>().swap(inexact);
        return;
    }
    // Built again from every key, the batch's merged with the tree's own.
    inexact.erase(std::unique(inexact.begin(), inexact.end(), key_equal), inexact.end());
    keys.reserve(keys.size() + inexact.size());
    for (const CompositeKey128& p : inexact) keys.push_back(p.key);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<u128> old;
    if (size_ != 0) {
        old.reserve(size_);
        for_each([&](const TreeKey& k) { old.push_back(k.key); });
        std::vector<u128> merged;
        merged.reserve(old.size() + keys.size());
        std::merge(old.begin(), old.end(), keys.begin(), keys.end(), std::back_inserter(merged));
        merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
        keys = std::move(merged);
    }
    // The ties take each inexact pair new to the tree once (the pairs
    // already there keep theirs).
    for (const CompositeKey128& p : inexact)
        if (!std::binary_search(old.begin(), old.end(), p.key)) enter_tie(p);
    // Given back before the nodes are made, which can take their room.
    std::vector<CompositeKey128>().swap(inexact);
    std::vector<u128>().swap(old);
    build_sorted(keys);
    std::vector<u128>().swap(keys);
}

bool BitMapBTree::remove(RangeValue v, uint32_t id) {
    if (const PackedPart* slot = column_slot(id)) __builtin_prefetch(slot, 1);
    const CompositeKey128 entry = CompositeKey128::make(v, id);
    // Internal nodes on the way down and the slot taken in each, in the
    // tree's own vector: a removal allocates nothing once it has grown.
    std::vector<std::pair<InternalNode*, size_t>>& path = removal_path_;
    path.clear();
    BitMapBTreeNode* node = &root_;
    while (InternalNode* in = node->internal()) {
        const size_t s = in->start + in->key_position(entry.key);
        BitMapBTreeNode& child = in->children[s];
        if (!child.present()) fail("Missing child");
        path.emplace_back(in, s);
        node = &child;
    }
    LeafNode* leaf = node->leaf();
    if (leaf == nullptr) fail("Missing child");
    if (leaf->len == 0) return false;
    const size_t pos = leaf->key_position(entry.key);
    if (leaf->keys[leaf->start + pos].key != entry.key) return false;
    leaf->remove_at(pos);
    for (auto& [in, s] : path) {
        if (in->bitmaps[s]) in->bitmaps[s]->remove(id);
    }
    mend_after_removal(path);
    --size_;
    column_leave(id, entry.value_part());
    if (!ties_.empty()) {
        // The pair is unique in the tree, so the id sits in one tie at most.
        auto it = ties_.find(entry.value_part());
        if (it != ties_.end()) {
            TieList& list = it->second;
            for (size_t i = 0; i < list.size(); ++i) {
                if (!list[i].ids.contains(id)) continue;
                list[i].ids.remove(id);
                if (list[i].ids.empty()) list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
            if (list.empty()) ties_.erase(it);
        }
    }
    return true;
}

namespace {

// Merge child a + 1 of p into child a, their bitmaps into one, and drop the
// emptied slot.  An internal right child's first child, routed in its own
// node by the lowest key it could hold, takes the right child's separator
// from p, which lies above every key of the left child.
void merge_children(InternalNode& p, size_t a) {
    const size_t b = a + 1;
    if (LeafNode* left = p.children[a].leaf()) {
        left->absorb(*p.children[b].leaf());
    } else {
        InternalNode& left_in = *p.children[a].internal();
        const size_t at = left_in.len;
        left_in.absorb(*p.children[b].internal());
        left_in.keys[left_in.start + at] = p.keys[b];
    }
    p.bitmaps[a]->or_inplace(*p.bitmaps[b]);
    p.remove_slot(b);
}

// Union of the bitmaps of slots [from, from + count) of n.
Bitmap bitmaps_of(const InternalNode& n, size_t from, size_t count) {
    const roaring_bitmap_t* parts[kNodeSlots];
    for (size_t i = 0; i < count; ++i) parts[i] = n.bitmaps[from + i]->raw();
    return Bitmap::adopt(roaring_bitmap_or_many(count, parts));
}

// Child s of p, an internal node with one child whose neighbour nb holds
// too many to merge with it, takes close to half of the neighbour's
// children.  Separators stay exact: a child changing nodes as the first
// of its run keeps the lowest key it could hold, which p gives.
void borrow_children(InternalNode& p, size_t s, size_t nb) {
    InternalNode& node = *p.children[s].internal();
    InternalNode& other = *p.children[nb].internal();
    const size_t k = (other.len - node.len) / 2;
    const size_t total = node.len + k;
    const size_t target = (kNodeSlots - total) / 2;
    Bitmap moved;
    if (nb > s) {
        // The neighbour's first k children go to the back of the node.
        if (target != node.start) node.move_run(node.start, node.len, node, target);
        node.start = target;
        other.move_run(other.start, k, node, target + node.len);
        node.keys[target + node.len] = p.keys[nb];
        moved = bitmaps_of(node, target + node.len, k);
        node.len = total;
        other.start += k;
        other.len -= k;
        p.keys[nb] = other.keys[other.start];
    } else {
        // The neighbour's last k children go to the front of the node.
        if (target + k != node.start) node.move_run(node.start, node.len, node, target + k);
        other.move_run(other.start + other.len - k, k, node, target);
        node.keys[target + k] = p.keys[s];
        node.start = target;
        node.len = total;
        other.len -= k;
        moved = bitmaps_of(node, target, k);
        p.keys[s] = node.keys[target];
    }
    p.bitmaps[s]->or_inplace(moved);
    p.bitmaps[nb] = p.bitmaps[nb]->andnot(moved);
}

// Mend child s of p after a removal below it; true when p lost a slot.
bool mend_child(InternalNode& p, size_t s) {
    const BitMapBTreeNode& child = p.children[s];
    const size_t len = child.len();
    if (len == 0) {
        // Only a leaf runs empty: an internal node is mended at one child.
        p.remove_slot(s);
        return true;
    }
    const bool lone = child.is_internal() && len < 2;
    if (len > kMergeFill && !lone) return false;
    const bool has_left = s > p.start;
    const bool has_right = s + 1 < p.start + p.len;
    if (has_left && len + p.children[s - 1].len() <= kMergeFill) {
        merge_children(p, s - 1);
        return true;
    }
    if (has_right && len + p.children[s + 1].len() <= kMergeFill) {
        merge_children(p, s);
        return true;
    }
    if (!lone) return false;
    // An internal node needs two children: it joins a neighbour when the
    // two fit below the split threshold, else it takes some of its children.
    const size_t nb = has_left ? s - 1 : s + 1;
    if (len + p.children[nb].len() < kSplitThreshold) {
        merge_children(p, std::min(s, nb));
        return true;
    }
    borrow_children(p, s, nb);
    return false;
}

}  // namespace

void BitMapBTree::mend_after_removal(const std::vector<std::pair<InternalNode*, size_t>>& path) {
    // Bottom up, while a level loses a slot: the parent may then be small
    // or down to one child in turn.
    for (size_t level = path.size(); level-- > 0;) {
        if (!mend_child(*path[level].first, path[level].second)) break;
    }
    while (InternalNode* in = root_.internal()) {
        if (in->len != 1) break;
        BitMapBTreeNode only = std::move(in->children[in->start]);
        root_ = std::move(only);
    }
}

namespace {

// Whether a column of `span` slots would be mostly empty for `entries`
// entries.
bool too_sparse(size_t span, size_t entries) { return span / 4 > entries + 1024; }

}  // namespace

const BitMapBTree::PackedPart* BitMapBTree::column_slot(uint32_t id) const {
    if (id < column_base_ || id - column_base_ >= column_.size()) return nullptr;
    return &column_[id - column_base_];
}

void BitMapBTree::column_enter(uint32_t id, u128 vp) {
    if (column_count_ == kColumnOff) {
        if (size_ >= 1024 && (size_ & (size_ - 1)) == 0) column_rebuild();
        return;
    }
    if (column_.empty()) column_base_ = id;
    if (id < column_base_) {
        // Room below as well, a share of the present span, so that ids
        // coming in descending order move the column a logarithmic number
        // of times.
        const size_t extra = std::max<size_t>(1024, column_.size() / 2);
        const uint32_t base = id > extra ? static_cast<uint32_t>(id - extra) : 0;
        if (too_sparse(column_base_ - base + column_.size(), size_)) {
            column_ = {};
            column_count_ = kColumnOff;
            column_lead_ = 0;
            return;
        }
        column_lead_ += column_base_ - base;
        column_.insert(column_.begin(), column_base_ - base, PackedPart{});
        column_base_ = base;
    } else if (id - column_base_ >= column_.size()) {
        if (too_sparse(size_t{id - column_base_} + 1, size_)) {
            column_ = {};
            column_count_ = kColumnOff;
            column_lead_ = 0;
            return;
        }
        column_.resize(size_t{id - column_base_} + 1);
    }
    PackedPart& slot = column_[id - column_base_];
    if (slot.head != 0) return;  // a second entry of the id
    slot = PackedPart::of(vp);
    ++column_count_;
    column_lead_ = std::min<size_t>(column_lead_, id - column_base_);
}

void BitMapBTree::column_leave(uint32_t id, u128 vp) {
    if (column_count_ == kColumnOff) return;
    if (column_slot(id) == nullptr) return;
    PackedPart& slot = column_[id - column_base_];
    if (slot.head == 0 || slot.get() != vp) return;
    slot = PackedPart{};
    --column_count_;
    if (column_count_ == 0) {
        column_ = {};
        column_base_ = 0;
        column_lead_ = 0;
        return;
    }
    while (column_.back().head == 0) column_.pop_back();
    if (id - column_base_ == column_lead_) {
        while (column_[column_lead_].head == 0) ++column_lead_;
    }
    if (column_lead_ > kColumnSlack && column_lead_ * 2 > column_.size()) {
        column_.erase(column_.begin(), column_.begin() + static_cast<std::ptrdiff_t>(column_lead_));
        column_base_ += static_cast<uint32_t>(column_lead_);
        column_lead_ = 0;
    }
    // Storage far beyond the live slots goes back as well.
    if (column_.capacity() > 2 * column_.size() + kColumnSlack) column_.shrink_to_fit();
}

void BitMapBTree::column_rebuild() {
    uint32_t lowest = UINT32_MAX;
    uint32_t highest = 0;
    for_each([&](const TreeKey& k) {
        lowest = std::min(lowest, k.id());
        highest = std::max(highest, k.id());
    });
    column_ = {};
    column_count_ = kColumnOff;
    column_lead_ = 0;
    if (size_ == 0 || too_sparse(size_t{highest - lowest} + 1, size_)) return;
    column_base_ = lowest;
    column_.resize(size_t{highest - lowest} + 1);
    column_count_ = 0;
    for_each([&](const TreeKey& k) {
        PackedPart& slot = column_[k.id() - lowest];
        if (slot.head != 0) return;
        slot = PackedPart::of(k.value_part());
        ++column_count_;
    });
}

RangeValue BitMapBTree::value_of(const TreeKey& k) const {
    const u128 vp = k.value_part();
    if (const TieList* list = ties_at(vp)) {
        for (const Tie& t : *list)
            if (t.ids.contains(k.id())) return RangeValue::of_inexact(t.key.get());
    }
    return RangeValue::of_encoded(vp);
}

const BitMapBTree::TieList* BitMapBTree::ties_at(u128 vp) const {
    if (ties_.empty()) return nullptr;
    auto it = ties_.find(vp);
    return it == ties_.end() ? nullptr : &it->second;
}

namespace {

// Whether the exact number x lies on the inner side of bound b, given that
// its value part equals b's when b is inexact, and lies within b otherwise.
bool tie_within(const ExactNumber& x, const Bound& b, bool lower) {
    if (b.kind == BoundKind::Unbounded || !b.value.inexact()) return true;
    const int c = compare_exact(x, *b.value.key->exact);
    if (c == 0) return b.kind == BoundKind::Included;
    return lower ? c > 0 : c < 0;
}

}  // namespace

void BitMapBTree::resolve_ties(u128 vp, const Bound& lower, const Bound& upper,
                               const Bitmap& filter, Bitmap& out) const {
    const TieList* list = ties_at(vp);
    if (list == nullptr) return;
    const auto same_part = [vp](const Bound& b) {
        return b.kind != BoundKind::Unbounded && CompositeKey128::value_part_of(b.value) == vp;
    };
    // A bound with another value part lies wholly on one side of vp: the
    // caller only asks for value parts inside both bounds.
    const Bound open = Bound::unbounded();
    const Bound& lo = same_part(lower) ? lower : open;
    const Bound& hi = same_part(upper) ? upper : open;
    for (const Tie& t : *list) {
        const ExactNumber& x = *t.key.get()->exact;
        if (!tie_within(x, lo, true) || !tie_within(x, hi, false)) continue;
        t.ids.for_each([&](uint32_t id) {
            if (filter.contains(id)) out.add(id);
        });
    }
}

Bitmap BitMapBTree::query_column(const Bound& lower, const Bound& upper,
                                 const Bitmap& filter) const {
    const ResolvedBound lo = resolve(lower);
    const ResolvedBound hi = resolve(upper);
    std::vector<uint32_t> ids;
    filter.for_each([&](uint32_t id) {
        const PackedPart* slot = column_slot(id);
        if (slot == nullptr || slot->head == 0) return;
        const u128 vp = slot->get();
        if (!below_lower(lo, vp) && within_upper(hi, vp)) ids.push_back(id);
    });
    return Bitmap::of(ids.data(), ids.size());
}

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper,
                                const Bitmap& filter) const {
    const bool inexact_lower = lower.kind != BoundKind::Unbounded && lower.value.inexact();
    const bool inexact_upper = upper.kind != BoundKind::Unbounded && upper.value.inexact();
    if (!inexact_lower && !inexact_upper) {
        // A filter far smaller than the tree: each of its ids costs one read
        // of the column, where the walk would meet it with up to a hundred
        // whole children along each bound's path.
        if (column_usable() && filter.cardinality() * kColumnShare <= size_)
            return query_column(lower, upper, filter);
        return root_.query_range(lower, upper, filter);
    }
    // No exact value part equals an inexact one: the tree answers for every
    // value part strictly beyond an inexact bound, and the ties sharing the
    // bound's value part are compared exactly.
    const Bound tree_lower = inexact_lower ? Bound::excluded(lower.value) : lower;
    const Bound tree_upper = inexact_upper ? Bound::excluded(upper.value) : upper;
    Bitmap out = root_.query_range(tree_lower, tree_upper, filter);
    const u128 lower_vp = inexact_lower ? CompositeKey128::value_part_of(lower.value) : 0;
    const u128 upper_vp = inexact_upper ? CompositeKey128::value_part_of(upper.value) : 0;
    // Whether value part vp lies within both bounds, an inexact bound
    // counting its own value part in.
    const auto inside = [&](u128 vp) {
        const auto within = [vp](const Bound& b, bool is_lower) {
            if (b.kind == BoundKind::Unbounded) return true;
            const u128 at = CompositeKey128::value_part_of(b.value);
            if (vp == at) return b.value.inexact() || b.kind == BoundKind::Included;
            return is_lower ? vp > at : vp < at;
        };
        return within(lower, true) && within(upper, false);
    };
    if (inexact_lower && inside(lower_vp)) resolve_ties(lower_vp, lower, upper, filter, out);
    if (inexact_upper && upper_vp != lower_vp && inside(upper_vp))
        resolve_ties(upper_vp, lower, upper, filter, out);
    return out;
}

// ---------------------------------------------------------------------------
// Walks in key order

namespace {

// A walk over the tree in key order (or its reverse) gathering the entries
// whose id lies in the filter.  It stops once it holds `limit` entries; a
// descending walk first finishes the run of the last value part: there,
// equal value parts come highest id first, and the ids to keep from the
// last run are its lowest ones.  So does a walk whose last value part holds
// ties of several numbers, which are put in order afterwards.
struct OrderedWalk {
    bool descending;
    size_t limit;
    const Bitmap& filter;
    std::function<bool(u128)> tied;
    std::vector<TreeKey> found;
    bool done = false;

    // False once the walk is over.
    bool take(const TreeKey& k) {
        if (found.size() >= limit && (found.back().value_part() != k.value_part() ||
                                      !(descending || tied(k.value_part())))) {
            done = true;
            return false;
        }
        if (filter.contains(k.id())) found.push_back(k);
        return true;
    }

    void visit(const BitMapBTreeNode& node) {
        if (done) return;
        if (const LeafNode* leaf = node.leaf()) {
            for (size_t n = 0; n < leaf->len; ++n) {
                size_t i = descending ? leaf->start + leaf->len - 1 - n : leaf->start + n;
                if (!take(leaf->keys[i])) return;
            }
            return;
        }
        const InternalNode* in = node.internal();
        if (in == nullptr) return;
        for (size_t n = 0; n < in->len && !done; ++n) {
            size_t i = descending ? in->start + in->len - 1 - n : in->start + n;
            const std::optional<Bitmap>& bm = in->bitmaps[i];
            if (bm && !roaring_bitmap_intersect(bm->raw(), filter.raw())) continue;
            visit(in->children[i]);
        }
    }
};

}  // namespace

std::vector<TreeKey> BitMapBTree::ordered_from_column(
    bool descending, size_t limit, const Bitmap& filter,
    const std::function<bool(u128)>& several) const {
    // The ids of the filter with their value parts, in the walk's order; the
    // entries kept are those the walk would hold when it stops.
    std::vector<TreeKey> found;
    found.reserve(static_cast<size_t>(filter.cardinality()));
    filter.for_each([&](uint32_t id) {
        const PackedPart* slot = column_slot(id);
        if (slot != nullptr && slot->head != 0) found.push_back(TreeKey::of(slot->get(), id));
    });
    std::sort(found.begin(), found.end(),
              [](const TreeKey& a, const TreeKey& b) { return a.key < b.key; });
    if (descending) std::reverse(found.begin(), found.end());
    size_t keep = std::min(limit, found.size());
    if (keep > 0 && keep < found.size()) {
        const u128 last = found[keep - 1].value_part();
        if (descending || several(last))
            while (keep < found.size() && found[keep].value_part() == last) ++keep;
    }
    found.resize(keep);
    return found;
}

std::vector<uint32_t> BitMapBTree::ordered_ids(bool descending, size_t limit,
                                               const Bitmap& filter) const {
    std::vector<uint32_t> out;
    if (limit == 0 || filter.empty()) return out;
    const auto several = [this](u128 vp) {
        const TieList* list = ties_at(vp);
        return list != nullptr && list->size() > 1;
    };
    std::vector<TreeKey> found;
    const uint64_t k = filter.cardinality();
    if (column_usable() && k * kColumnShare <= size_ &&
        k * k <= std::min<uint64_t>(limit, k) * size_) {
        // A filter far smaller than the tree, against an answer about as
        // long: sorted from the column, where the walk would test the
        // filter against every child along the way.
        found = ordered_from_column(descending, limit, filter, several);
    } else {
        OrderedWalk walk{descending, limit, filter, several, {}};
        walk.visit(root_);
        found = std::move(walk.found);
    }
    for (size_t a = 0; a < found.size();) {
        const u128 vp = found[a].value_part();
        size_t b = a + 1;
        while (b < found.size() && found[b].value_part() == vp) ++b;
        const auto first = found.begin() + static_cast<std::ptrdiff_t>(a);
        const auto last = found.begin() + static_cast<std::ptrdiff_t>(b);
        // Runs of one value part came in descending id order: turn them.
        if (descending) std::reverse(first, last);
        if (b - a > 1 && several(vp)) {
            // Several numbers share the value part: by exact value, then id.
            std::vector<const ExactNumber*> numbers;
            std::vector<std::pair<size_t, uint32_t>> rank;  // tie index, id
            const TieList& list = *ties_at(vp);
            for (const Tie& t : list) numbers.push_back(&*t.key.get()->exact);
            for (auto it = first; it != last; ++it) {
                size_t i = 0;
                while (i + 1 < list.size() && !list[i].ids.contains(it->id())) ++i;
                rank.emplace_back(i, it->id());
            }
            std::sort(rank.begin(), rank.end(), [&](const auto& x, const auto& y) {
                if (x.first != y.first) {
                    const int c = compare_exact(*numbers[x.first], *numbers[y.first]);
                    if (c != 0) return descending ? c > 0 : c < 0;
                }
                return x.second < y.second;
            });
            for (size_t i = 0; i < rank.size(); ++i) found[a + i] = TreeKey::of(vp, rank[i].second);
        }
        a = b;
    }
    const size_t n = std::min(limit, found.size());
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.push_back(found[i].id());
    return out;
}

// ---------------------------------------------------------------------------
// Invariant validation

namespace {

std::string hex128(u128 v) {
    static const char* digits = "0123456789abcdef";
    std::string s(32, '0');
    for (int i = 31; i >= 0; --i) {
        s[static_cast<size_t>(i)] = digits[static_cast<unsigned>(v & 0xF)];
        v >>= 4;
    }
    return "0x" + s;
}

struct Validator {
    size_t leaf_depth = 0;  // 0 until the first leaf is seen
    size_t entries = 0;

    [[noreturn]] void violation(const std::string& where, const std::string& what) {
        fail("invalid tree: " + where + ": " + what);
    }

    // Checks the subtree; every key in it must lie in [lo, hi) where given.
    // Adds the subtree's ids to ids.
    void node(const BitMapBTreeNode& n, const std::string& where, size_t depth, const u128* lo,
              const u128* hi, Bitmap& ids) {
        if (!n.present()) violation(where, "missing node");
        if (const LeafNode* l = n.leaf()) return leaf(*l, where, depth, lo, hi, ids);
        const InternalNode& in = *n.internal();
        internal_slots(in, where);
        separators(in, where, lo, hi);
        children(in, where, depth, lo, hi, ids);
    }

    // A leaf: keys filling exactly its window, increasing, within [lo, hi),
    // and at the same depth as every other leaf.
    void leaf(const LeafNode& leaf, const std::string& where, size_t depth, const u128* lo,
              const u128* hi, Bitmap& ids) {
        window(where, leaf.len, leaf.start);
        if (leaf.len == 0 && depth > 1) violation(where, "empty leaf below the root");
        for (size_t i = 0; i < kNodeSlots; ++i) {
            const bool inside = i >= leaf.start && i < leaf.start + leaf.len;
            if (inside == leaf.keys[i].is_empty())
                violation(where, "slot " + std::to_string(i) +
                                     (inside ? " inside the window is empty"
                                             : " outside the window is filled"));
        }
        for (size_t i = 0; i < leaf.len; ++i) {
            const u128 k = leaf.keys[leaf.start + i].key;
            if (i > 0 && !(leaf.keys[leaf.start + i - 1].key < k))
                violation(where, "keys not increasing at window index " + std::to_string(i));
            if (lo && k < *lo)
                violation(where, "key " + hex128(k) + " below the separator " + hex128(*lo));
            if (hi && !(k < *hi))
                violation(where,
                          "key " + hex128(k) + " not below the next separator " + hex128(*hi));
            ids.add(leaf.keys[leaf.start + i].id());
        }
        entries += leaf.len;
        if (leaf_depth == 0) leaf_depth = depth;
        if (leaf_depth != depth)
            violation(where, "leaf at depth " + std::to_string(depth) + ", another at " +
                                 std::to_string(leaf_depth));
    }

    // An internal node: at least two children, and a separator, a child and
    // a bitmap in every slot of its window and in no other.
    void internal_slots(const InternalNode& in, const std::string& where) {
        window(where, in.len, in.start);
        if (in.len < 2) violation(where, "internal node with fewer than two children");
        for (size_t i = 0; i < kNodeSlots; ++i) {
            const bool inside = i >= in.start && i < in.start + in.len;
            const std::string slot = "slot " + std::to_string(i);
            if (inside) {
                if (in.keys[i].is_empty()) violation(where, slot + " has no separator");
                if (!in.children[i].present()) violation(where, slot + " has no child");
                if (!in.bitmaps[i]) violation(where, slot + " has no bitmap");
            } else if (!in.keys[i].is_empty() || in.children[i].present() || in.bitmaps[i]) {
                violation(where, slot + " outside the window is filled");
            }
        }
    }

    // Separator 0 is never lowered: along the leftmost path the first child
    // keeps taking smaller keys and its splits add separators below it.
    // Routing never reads separator 0 (the halving search always probes
    // from index 1), so only separators 1 and on are ordered and bounded by
    // the node's range; separator 0 only stays at or above the lower limit.
    void separators(const InternalNode& in, const std::string& where, const u128* lo,
                    const u128* hi) {
        if (lo && in.keys[in.start].key < *lo)
            violation(where, "separator 0 below the node's range");
        for (size_t i = 1; i < in.len; ++i) {
            const u128 sep = in.keys[in.start + i].key;
            if (i > 1 && !(in.keys[in.start + i - 1].key < sep))
                violation(where, "separators not increasing at window index " + std::to_string(i));
            if (lo && sep < *lo)
                violation(where, "separator " + hex128(sep) + " below the node's range");
            if (hi && !(sep < *hi))
                violation(where, "separator " + hex128(sep) + " above the node's range");
        }
    }

    // Every child within its separators, with the bitmap of the ids below it.
    void children(const InternalNode& in, const std::string& where, size_t depth, const u128* lo,
                  const u128* hi, Bitmap& ids) {
        for (size_t i = 0; i < in.len; ++i) {
            const size_t s = in.start + i;
            // Child 0 inherits the node's lower limit: it may hold keys below
            // its own separator.
            const u128* child_lo = i == 0 ? lo : &in.keys[s].key;
            const u128* child_hi = i + 1 < in.len ? &in.keys[s + 1].key : hi;
            Bitmap below;
            node(in.children[s], where + "/" + std::to_string(i), depth + 1, child_lo, child_hi,
                 below);
            if (!(*in.bitmaps[s] == below))
                violation(where, "bitmap of child " + std::to_string(i) + " holds " +
                                     std::to_string(in.bitmaps[s]->cardinality()) +
                                     " ids, the subtree " + std::to_string(below.cardinality()));
            ids.or_inplace(below);
        }
    }

    void window(const std::string& where, size_t len, size_t start) {
        if (len > kNodeSlots - 1) violation(where, "len " + std::to_string(len) + " above 95");
        if (start + len > kNodeSlots - 1)
            violation(where, "window " + std::to_string(start) + "+" + std::to_string(len) +
                                 " reaches slot 95");
    }
};

}  // namespace

void BitMapBTree::validate() const {
    Validator v;
    Bitmap ids;
    v.node(root_, "root", 1, nullptr, nullptr, ids);
    if (v.entries != size_)
        fail("invalid tree: root: holds " + std::to_string(v.entries) + " entries, counted " +
             std::to_string(size_));
    validate_column();
}

void BitMapBTree::validate_column() const {
    const auto violation = [](const std::string& what) { fail("invalid tree: column: " + what); };
    if (column_count_ == kColumnOff) {
        if (!column_.empty())
            violation("out of use but holds " + std::to_string(column_.size()) + " slots");
        return;
    }
    size_t filled = 0;
    size_t head = column_.size();
    for (size_t i = 0; i < column_.size(); ++i) {
        if (column_[i].head == 0) continue;
        if (head == column_.size()) head = i;
        ++filled;
    }
    if (filled != column_count_)
        violation(std::to_string(filled) + " slots filled, counted " +
                  std::to_string(column_count_));
    if (column_.empty()) return;
    if (column_lead_ > head)
        violation("slot " + std::to_string(head) + " filled below the lead " +
                  std::to_string(column_lead_));
    if (column_.back().head == 0) violation("empty last slot");
    if (head > kColumnSlack && head * 2 > column_.size())
        violation("empty head of " + std::to_string(head) + " slots in " +
                  std::to_string(column_.size()));
    if (!column_usable()) return;
    for_each([&](const TreeKey& k) {
        const PackedPart* slot = column_slot(k.id());
        if (slot == nullptr || slot->get() != k.value_part())
            violation("id " + std::to_string(k.id()) + " does not hold its entry's value part");
    });
}

}  // namespace corvane
