// A range tree whose insertions and removals wait in a buffer until the tree
// is read, or until enough of them have gathered, and are then applied
// together in key order.
//
// One change on its own costs a descent to a random leaf and an update of a
// bitmap at every level on the way, nearly all of it cache misses: an
// assignment moving a number pays two of them.  Applied in key order, a
// batch of changes walks the tree from left to right: consecutive changes
// share their path and mostly their bitmaps' containers, which are then in
// cache.
//
// Every change is idempotent (an insertion leaves the pair present, a
// removal leaves it absent, whatever was there before), so of the buffered
// changes to one pair only the last one matters.  Numbers that need their
// exact value beside the value part (inexact ones) are not buffered: their
// value is only kept alive by the caller for the call, so the buffer is
// applied first and they go straight into the tree.
//
// Writers hold the lock of the attribute maps exclusively; readers hold it
// shared, and several of them may ask for the settled tree at once, so
// applying the buffer is guarded by a mutex of its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "structures/ranged_b_tree.hpp"

namespace corvane {

class BufferedTree {
public:
    // Buffered changes are applied once they number an eighth of the
    // tree's entries, at least 1,024 and at most 131,072.  The larger the
    // batch, the more of its changes share a leaf and the cheaper each one:
    // a million moves in a tree of 1,000,000 entries ran 2.1x faster than
    // one by one in batches of a sixteenth, 2.3-2.6x in batches of an
    // eighth, 2.9x of a quarter (bench/cpp/bench_tree_moves).  The cap keeps
    // the change that applies a batch to some tens of milliseconds.
    static constexpr size_t kMinBatch = 1024;
    static constexpr size_t kMaxBatch = 131072;
    static constexpr size_t kBatchShare = 8;
    size_t batch() const {
        return std::min(kMaxBatch, std::max(kMinBatch, tree_.size() / kBatchShare));
    }

    BufferedTree() = default;
    BufferedTree(const BufferedTree&) = delete;
    BufferedTree& operator=(const BufferedTree&) = delete;

    void insert(RangeValue v, uint32_t id) { change(v, id, true); }
    void remove(RangeValue v, uint32_t id) { change(v, id, false); }
    // Bulk entry (see `BitMapBTree::insert_many`), after the buffer.
    void insert_many(std::vector<CompositeKey128>& pairs);
    void insert_many(std::vector<u128>& keys, std::vector<CompositeKey128>& inexact);

    // The tree with every buffered change applied.
    const BitMapBTree& settled() const {
        if (waiting_.load(std::memory_order_acquire) != 0) settle();
        return tree_;
    }
    // Number of changes waiting.
    size_t waiting() const { return waiting_.load(std::memory_order_acquire); }
    size_t size() const { return settled().size(); }

    // The buffer's own invariants, then the settled tree's.  Throws
    // InternalFailure naming the first violation.
    void validate() const;

private:
    // A change in 24 bytes: its key as two words (a u128 member would align
    // the record to 16 and make it 32), its place in arrival order, and
    // whether the pair enters or leaves.
    struct Change {
        uint64_t high;
        uint64_t low;
        uint32_t seq;
        bool insert;
        u128 key() const { return (static_cast<u128>(high) << 64) | low; }
    };

    void change(RangeValue v, uint32_t id, bool insert);
    void buffer(u128 key, bool insert);
    void settle() const;

    mutable BitMapBTree tree_;
    mutable std::vector<Change> changes_;
    mutable std::atomic<size_t> waiting_{0};
    mutable std::mutex settling_;
};

}  // namespace corvane
