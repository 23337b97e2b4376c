#include "structures/buffered_tree.hpp"

#include <algorithm>
#include <string>

#include "structures/failure.hpp"

namespace corvane {

void BufferedTree::buffer(u128 key, bool insert) {
    changes_.push_back(Change{static_cast<uint64_t>(key >> 64), static_cast<uint64_t>(key),
                              static_cast<uint32_t>(changes_.size()), insert});
    waiting_.store(changes_.size(), std::memory_order_release);
    if (changes_.size() >= batch()) settle();
}

void BufferedTree::change(RangeValue v, uint32_t id, bool insert) {
    if (!v.inexact()) {
        buffer(CompositeKey128::make(v, id).key, insert);
        return;
    }
    settled();
    if (insert) {
        tree_.insert(v, id);
    } else {
        tree_.remove(v, id);
    }
}

void BufferedTree::insert_many(std::vector<CompositeKey128>& pairs) {
    settled();
    tree_.insert_many(pairs);
}

void BufferedTree::insert_many(std::vector<u128>& keys, std::vector<CompositeKey128>& inexact) {
    settled();
    tree_.insert_many(keys, inexact);
}

void BufferedTree::settle() const {
    std::lock_guard<std::mutex> hold(settling_);
    if (changes_.empty()) return;
    // Key order, and the changes to one pair in the order they were made.
    std::sort(changes_.begin(), changes_.end(), [](const Change& a, const Change& b) {
        if (a.high != b.high) return a.high < b.high;
        return a.low != b.low ? a.low < b.low : a.seq < b.seq;
    });
    // A stored key of an exact number is its value part and its id: the
    // value part enters the tree again as an encoded value.  Every removal
    // goes before every insertion: an assignment's new pair may sort before
    // its old one, and an id must not hold two pairs while one of them
    // leaves (the bitmaps above would lose the id).  Should a change fail
    // half way, the buffer stays whole: applying a change twice does no
    // harm.
    for (const bool inserting : {false, true}) {
        for (size_t i = 0; i < changes_.size(); ++i) {
            const Change& c = changes_[i];
            if (c.insert != inserting) continue;
            if (i + 1 < changes_.size() && changes_[i + 1].key() == c.key()) continue;
            const TreeKey k{c.key()};
            const RangeValue v = RangeValue::of_encoded(k.value_part());
            if (inserting) {
                tree_.insert(v, k.id());
            } else {
                tree_.remove(v, k.id());
            }
        }
    }
    changes_.clear();
    // A burst of changes far above the batch size leaves its room behind.
    if (changes_.capacity() > 4 * batch()) std::vector<Change>().swap(changes_);
    waiting_.store(0, std::memory_order_release);
}

void BufferedTree::validate() const {
    {
        std::lock_guard<std::mutex> hold(settling_);
        if (waiting_.load(std::memory_order_acquire) != changes_.size())
            fail("buffered changes miscounted: " + std::to_string(waiting_.load()) + " against " +
                 std::to_string(changes_.size()));
        for (const Change& c : changes_) {
            if (TreeKey{c.key()}.head() == 0) fail("buffered change with an empty key");
        }
    }
    settled().validate();
}

}  // namespace corvane
