// The range index of one numeric attribute: a B-tree of (value, id) pairs
// whose internal nodes keep, for every child, a bitmap of all ids stored
// below it.  A range query descends only along the two boundary paths and
// takes every child lying wholly between them by its bitmap.
//
// Entries are 128-bit keys: a 96-bit order-preserving encoding of the value
// (all numbers share one scale, each other ordered family has a span of its
// own) followed by the 32-bit id, so keys order by value first, then by id.
// Numbers too precise for the encoding share a value part flagged inexact;
// the tree keeps their exact values beside it ("ties") and consults them
// only for bounds and orderings that fall on such a value part.
//
// Nodes are fixed arrays of 96 slots holding a contiguous window
// [start, start + len).  Inserting shifts whichever side of the window is
// shorter, and a window that touches either end of the array is moved back
// to the middle, so there is always room on both sides.  Nodes holding 86 or
// more entries are split before an insertion passes through them.  Removal
// frees a node it empties and merges two neighbouring nodes under one
// parent that hold few entries together, so the nodes follow the live
// entries.
//
// The structure holds no Python references and does no locking: callers
// guard it with the lock of the attribute maps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/exact_number.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/range_key.hpp"

namespace corvane {

// An ordered attribute value as handed to the tree: an int within 64 bits
// or a double (encoded here, see range_key.hpp), or a value part computed elsewhere
// (`Encoded`, for values of the other ordered families and for numbers of
// other types that the value part orders exactly), or a number that needs its
// exact value beside the value part (`Inexact`, see exact_number.hpp).
struct RangeValue {
    enum class Kind : uint8_t { Int, Float, Encoded, Inexact };
    Kind kind;
    uint32_t high;  // Encoded: bits 95..64 of the value part
    union {
        int64_t i;
        double f;
        uint64_t low;           // Encoded: bits 63..0 of the value part
        const OrderedKey* key;  // Inexact: kept alive by the caller
    };

    static RangeValue of_int(int64_t v) {
        RangeValue r;
        r.kind = Kind::Int;
        r.i = v;
        return r;
    }
    static RangeValue of_float(double v) {
        RangeValue r;
        r.kind = Kind::Float;
        r.f = v;
        return r;
    }
    static RangeValue of_encoded(u128 value_part) {
        RangeValue r;
        r.kind = Kind::Encoded;
        r.high = static_cast<uint32_t>(value_part >> 64);
        r.low = static_cast<uint64_t>(value_part);
        return r;
    }
    static RangeValue of_inexact(const OrderedKey* k) {
        RangeValue r;
        r.kind = Kind::Inexact;
        r.key = k;
        return r;
    }
    bool inexact() const { return kind == Kind::Inexact; }
};

// One entry of the tree as stored: a 128-bit key ordered as an unsigned
// integer:
//   bits 127..96  head: sortable sign, exponent and leading significand bits
//   bits  95..32  tail: sortable remaining significand bits
//   bits  31..0   the object id
// The upper 96 bits are the value part; range bounds compare only those.
//
// No value encodes to a head of 0 (the smallest head any value produces is
// 0x3C000000), so an all-zero key marks an empty slot.
struct TreeKey {
    u128 key = 0;

    static TreeKey of(u128 value_part, uint32_t id) { return TreeKey{(value_part << 32) | id}; }
    uint32_t id() const { return static_cast<uint32_t>(key); }
    u128 value_part() const { return key >> 32; }
    uint32_t head() const { return static_cast<uint32_t>(key >> 96); }
    uint64_t tail() const { return static_cast<uint64_t>(key >> 32); }
    bool is_empty() const { return key == 0; }
};

// A pair on its way into or out of the tree: the key it is stored under and
// the value it came from (an inexact number needs its exact value for the
// ties; the stored key alone does not carry it).
struct CompositeKey128 {
    RangeValue value;
    u128 key;

    static CompositeKey128 make(RangeValue v, uint32_t id);
    // The 96-bit value part of v (that is, make(v, 0).key >> 32).
    static u128 value_part_of(RangeValue v);

    TreeKey stored() const { return TreeKey{key}; }
    operator TreeKey() const { return stored(); }
    uint32_t id() const { return static_cast<uint32_t>(key); }
    u128 value_part() const { return key >> 32; }
    uint32_t head() const { return static_cast<uint32_t>(key >> 96); }
    uint64_t tail() const { return static_cast<uint64_t>(key >> 32); }
    bool is_empty() const { return key == 0; }
};

enum class BoundKind : uint8_t { Included, Excluded, Unbounded };

struct Bound {
    BoundKind kind;
    RangeValue value;

    static Bound included(RangeValue v) { return Bound{BoundKind::Included, v}; }
    static Bound excluded(RangeValue v) { return Bound{BoundKind::Excluded, v}; }
    static Bound unbounded() { return Bound{BoundKind::Unbounded, RangeValue::of_int(0)}; }
};

inline constexpr size_t kNodeSlots = 96;
// A node with this many entries whose window touches an end is split
// before an insertion passes into it.
inline constexpr size_t kSplitThreshold = 86;
// Window start of a new root and of the right half made by a split.
inline constexpr size_t kRootStart = 48;
inline constexpr size_t kSplitRightStart = 24;
// A range query reads each id of its filter from the column, instead of
// walking the tree, when the filter holds at most one id in this many of the
// tree's entries.
inline constexpr size_t kColumnShare = 16;
// Entries per node of a tree built bottom-up: room is left for a few
// insertions before a node splits.
inline constexpr size_t kBulkFill = 84;
// After a removal, a node and a neighbour under the same parent that hold
// this many entries or fewer together become one node.  Well below the
// split threshold, so that a merged node takes many insertions before it
// splits again.
inline constexpr size_t kMergeFill = 64;

struct LeafNode;
struct InternalNode;

// An owned node of either kind, or nothing (an empty slot).
class BitMapBTreeNode {
public:
    BitMapBTreeNode() noexcept = default;
    explicit BitMapBTreeNode(std::unique_ptr<LeafNode> leaf);
    explicit BitMapBTreeNode(std::unique_ptr<InternalNode> internal);
    BitMapBTreeNode(BitMapBTreeNode&& o) noexcept;
    BitMapBTreeNode& operator=(BitMapBTreeNode&& o) noexcept;
    ~BitMapBTreeNode();

    bool present() const { return node_.index() != 0; }
    bool is_leaf() const { return node_.index() == 2; }
    bool is_internal() const { return node_.index() == 1; }
    LeafNode* leaf() {
        auto* p = std::get_if<std::unique_ptr<LeafNode>>(&node_);
        return p ? p->get() : nullptr;
    }
    const LeafNode* leaf() const {
        auto* p = std::get_if<std::unique_ptr<LeafNode>>(&node_);
        return p ? p->get() : nullptr;
    }
    InternalNode* internal() {
        auto* p = std::get_if<std::unique_ptr<InternalNode>>(&node_);
        return p ? p->get() : nullptr;
    }
    const InternalNode* internal() const {
        auto* p = std::get_if<std::unique_ptr<InternalNode>>(&node_);
        return p ? p->get() : nullptr;
    }

    // Window of either kind (0 entries for an empty slot).
    size_t len() const;
    size_t start() const;
    bool is_full() const;
    // Key at the window start (an empty key when the window is empty).
    TreeKey first_key() const;
    // New bitmap of every id stored in this subtree.
    Bitmap id_bitmap() const;
    // Split in place (this keeps the lower part); returns the separator and
    // the new upper part.  A node split for a key above all of its own
    // (`appending`, as when pairs come in key order) keeps all but its last
    // two entries, so that entering sorted pairs fills nodes instead of
    // leaving every one half empty.
    std::pair<TreeKey, BitMapBTreeNode> split(bool appending = false);
    // Whether an entry of key x would go past the last entry of this node:
    // past its last key (a leaf) or into its last child.
    bool appends(u128 x) const;
    // Insert into this node, which must not be full; false when the pair is
    // already there.
    bool insert(const TreeKey& entry);

    // Ids of the entries whose value lies within the bounds, restricted to
    // filter.  Never fails; a lower bound above the upper gives nothing.
    Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& filter) const;

private:
    std::variant<std::monostate, std::unique_ptr<InternalNode>, std::unique_ptr<LeafNode>> node_;
};

// What both node kinds do with their window [start, start + len) over the
// slot arrays.  Node has the arrays (keys among them, empty outside the
// window), len, start and move_run(from, count, dst, to): move slots
// [from, from + count) to [to, to + count) of dst (which may be the node
// itself, the runs overlapping), emptying the source slots the destination
// run does not cover.  The members stay in the nodes: with the keys, len and
// start first (as a base holding them would put them), insertion into a
// large tree ran about 8 % slower.
template <class Node>
struct NodeWindow {
    // Index within the window of the last key not greater than x, or 0.
    size_t key_position(u128 x) const;
    bool is_full() const {
        const Node& n = self();
        return n.len >= kSplitThreshold && (n.start == 0 || n.start + n.len >= kNodeSlots);
    }
    bool touches_end() const {
        return self().start == 0 || self().start + self().len == kNodeSlots;
    }
    // Move the window to the middle of the array.
    void recenter();
    // Recenter a window that an insertion has brought to either end.
    void recenter_at_end() {
        if (touches_end()) recenter();
    }
    // Split in place (this keeps the lower part); returns the separator and
    // the new upper part (the last two entries when `appending`, else half).
    std::pair<TreeKey, std::unique_ptr<Node>> split(bool appending);
    // Take every slot of `right` (the next node in key order) after this
    // node's own, the joined window in the middle; `right` is left empty.
    void absorb(Node& right);

private:
    Node& self() { return static_cast<Node&>(*this); }
    const Node& self() const { return static_cast<const Node&>(*this); }
};

struct LeafNode : NodeWindow<LeafNode> {
    std::array<TreeKey, kNodeSlots> keys{};  // empty outside the window
    size_t len = 0;
    size_t start = kRootStart;

    // False (and nothing changes) when an equal key is already there.
    bool insert_non_full(const TreeKey& entry);
    // Remove the entry at window index pos, closing the gap from the shorter side.
    void remove_at(size_t pos);
    Bitmap id_bitmap() const;
    void move_run(size_t from, size_t count, LeafNode& dst, size_t to);
};

// Modes of InternalNode::get_key_index: which bound enters the node.
enum class KeyIndexMode : uint8_t { LowerIncluded, LowerExcluded, UpperIncluded, UpperExcluded };

struct InternalNode : NodeWindow<InternalNode> {
    std::array<std::optional<Bitmap>, kNodeSlots> bitmaps;  // ids below child i
    std::array<TreeKey, kNodeSlots> keys{};                 // separator of child i
    std::array<BitMapBTreeNode, kNodeSlots> children;
    size_t len = 0;
    size_t start = 0;

    // Move slots [from, to) by `by` places toward the back; the window start
    // moves along when it is `from`.
    void shift_right(size_t from, size_t to, size_t by);
    // New bitmap: union of every child bitmap.
    Bitmap get_bitmap() const;
    bool insert(const TreeKey& entry);
    bool split_and_insert(const TreeKey& entry, size_t a);
    // Window index of the child where a bound with value part vp enters.
    size_t get_key_index(u128 vp, KeyIndexMode mode) const;
    // Each slot moves with its separator, child and bitmap.
    void move_run(size_t from, size_t count, InternalNode& dst, size_t to);
    // Drop slot s (its child, which is freed, separator and bitmap), closing
    // the gap from the shorter side.
    void remove_slot(size_t s);

private:
    void move_slot(InternalNode& dst, size_t from, size_t to);
};

class BitMapBTree {
public:
    BitMapBTree();
    BitMapBTree(BitMapBTree&&) noexcept = default;
    BitMapBTree& operator=(BitMapBTree&&) noexcept = default;

    // Enter the pair; false when it is already in the tree, which then stays
    // as it was (apart from splits on the way down, which change no entry).
    // An inexact number also enters the ties of its value part, sharing the
    // key `v` points to.
    bool insert(RangeValue v, uint32_t id);
    // Enter many pairs at once (sorting them first; pairs already in the
    // tree, or given twice, are entered once).  An empty tree, or one
    // holding fewer pairs than come, is built again bottom-up from all of
    // them, its nodes filled to `kBulkFill` (and `pairs` is emptied, its
    // block freed, before the nodes are made); otherwise the pairs go in one
    // by one, in key order.
    void insert_many(std::vector<CompositeKey128>& pairs);
    // The same for pairs given as their stored keys (`keys`: the key of a
    // pair whose value part orders its value exactly, as `TreeKey::key`)
    // and, beside them, the pairs of inexact numbers; both are emptied.
    // Half the bytes of `CompositeKey128` per pair, for pairs held a while.
    void insert_many(std::vector<u128>& keys, std::vector<CompositeKey128>& inexact);
    // True when an entry of exactly this pair was removed.
    bool remove(RangeValue v, uint32_t id);
    // The ids of filter whose value lies within the bounds.  An inexact
    // bound takes the entries beyond its value part from the tree and
    // compares the exact numbers sharing it one by one.
    Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& filter) const;
    // About how many entries lie within the bounds, for planning: exact for
    // exact bounds; an inexact bound counts every entry sharing its value
    // part.  Costs the descent of a range query, without gathering ids.
    uint64_t count_range(const Bound& lower, const Bound& upper) const;
    // The ids of filter held in the tree, in the order of their values
    // (ascending, or descending), equal values in ascending id order, at
    // most `limit` of them.  The walk follows the tree's own order and
    // stops once it has the first `limit` ids, skipping every subtree whose
    // bitmap does not meet the filter, so a short answer costs about as much
    // as a short range query however large the tree.  A filter of a few ids
    // (a small view) is sorted from the column instead.
    std::vector<uint32_t> ordered_ids(bool descending, size_t limit, const Bitmap& filter) const;

    // Number of entries.
    size_t size() const { return size_; }
    // The value parts of the first and the last entry; in an empty tree, the
    // lowest (0) or highest possible value part.
    u128 lowest_value_part() const;
    u128 highest_value_part() const;
    // Levels from the root to the leaves (1 for a single leaf).
    size_t height() const;

    // Check every structural invariant (among them: no node but a root leaf
    // is empty, the column holds exactly the entries' value parts and gives
    // back an emptied head); throws InternalFailure naming the first
    // violation found.
    void validate() const;

    // Call f(entry) for every entry (a `TreeKey`), in key order.
    template <class F>
    void for_each(F&& f) const {
        for_each_below(root_, f);
    }
    // Call f(value, id) for every pair, in key order, with a value that
    // enters the pair again (into this tree or another).
    template <class F>
    void for_each_pair(F&& f) const {
        for_each([&](const TreeKey& k) { f(value_of(k), k.id()); });
    }

    const BitMapBTreeNode& root() const { return root_; }
    // Direct access for tests that break invariants on purpose.
    BitMapBTreeNode& mutable_root() { return root_; }

private:
    template <class F>
    static void for_each_below(const BitMapBTreeNode& node, F& f) {
        if (const LeafNode* leaf = node.leaf()) {
            for (size_t i = leaf->start; i < leaf->start + leaf->len; ++i) f(leaf->keys[i]);
        } else if (const InternalNode* in = node.internal()) {
            for (size_t i = in->start; i < in->start + in->len; ++i)
                for_each_below(in->children[i], f);
        }
    }

    // The distinct exact numbers entered under one inexact value part, each
    // with the ids holding it.
    struct Tie {
        OrderedRef key;
        HybridSet ids;
    };
    using TieList = std::vector<Tie>;

    const TieList* ties_at(u128 vp) const;
    // After a removal below the nodes of `path` (each internal node on the
    // way down and the slot taken in it): free emptied nodes, merge small
    // neighbours, give an internal node left with one child a sibling's
    // children, and let a root with one child give way to it.
    void mend_after_removal(const std::vector<std::pair<InternalNode*, size_t>>& path);
    // Record an inexact number's pair in the ties of its value part.
    void enter_tie(const CompositeKey128& entry);
    // Replace the tree's entries, nodes and column by ones built from
    // sorted, distinct keys, at least one (the ties of inexact pairs are the
    // caller's).
    void build_sorted(const std::vector<u128>& keys);
    // The value of a stored entry: its value part, or the exact number of
    // its tie.
    RangeValue value_of(const TreeKey& k) const;

    // A value part in three words, for the column.
    struct PackedPart {
        uint32_t head = 0;
        uint32_t tail_high = 0;
        uint32_t tail_low = 0;
        static PackedPart of(u128 vp) {
            return {static_cast<uint32_t>(vp >> 64), static_cast<uint32_t>(vp >> 32),
                    static_cast<uint32_t>(vp)};
        }
        u128 get() const {
            return (static_cast<u128>(head) << 64) | (static_cast<u128>(tail_high) << 32) |
                   tail_low;
        }
    };
    bool column_usable() const { return column_count_ == size_; }
    // `ordered_ids` for a small filter, from the column (entries in the
    // walk's order, ties of several numbers not yet ordered).
    std::vector<TreeKey> ordered_from_column(bool descending, size_t limit, const Bitmap& filter,
                                             const std::function<bool(u128)>& several) const;
    // The column slot of id, or null when the column does not reach it.
    const PackedPart* column_slot(uint32_t id) const;
    void column_enter(uint32_t id, u128 vp);
    // Clears the id's slot when it holds vp, then gives back an empty tail,
    // and an empty head once it is most of the column.
    void column_leave(uint32_t id, u128 vp);
    // Build the column again from the entries, or leave it off when the ids
    // are still too sparse.
    void column_rebuild();
    // validate()'s checks of the column.
    void validate_column() const;
    // The ids of filter whose value part lies within the exact bounds, read
    // from the column id by id.
    Bitmap query_column(const Bound& lower, const Bound& upper, const Bitmap& filter) const;
    // Ids of filter within the bounds among the ties of value part vp.
    void resolve_ties(u128 vp, const Bound& lower, const Bound& upper, const Bitmap& filter,
                      Bitmap& out) const;

    BitMapBTreeNode root_;
    size_t size_ = 0;
    // Inexact value parts and the numbers entered under them.
    std::map<u128, TieList> ties_;
    // The value part of each id's entry, indexed by id less `column_base_`
    // (zero where the id has none), so that a filter much smaller than the tree is checked id
    // by id instead of against the whole children along the bounds' paths.
    // It holds while every id has at most one entry (`column_count_` equals
    // `size_`); an id entered under a second value, which only maps whose
    // pairs never move allow, takes it out of use until the extra pair
    // leaves.  Ids spread far wider than the number of entries (object ids
    // only grow, and an index may hold a few of them) would make it mostly
    // empty: the tree then drops it (`kColumnOff`), and tries again each
    // time its number of entries reaches a power of two.  Removal gives back
    // an empty tail at once and an empty head once it is more than half of
    // the column and more than `kColumnSlack` slots, so that a window of ids
    // sliding upward keeps a column the size of the window.
    static constexpr size_t kColumnOff = ~size_t{0};
    static constexpr size_t kColumnSlack = 1024;
    std::vector<PackedPart> column_;
    uint32_t column_base_ = 0;
    size_t column_count_ = 0;
    // Every slot below this index is empty.
    size_t column_lead_ = 0;
    // Scratch for `remove`: the path down to the leaf.
    std::vector<std::pair<InternalNode*, size_t>> removal_path_;
};

}  // namespace corvane
