// The object store of an index.
//
// Slot `i` holds the object whose id is `i`, or nothing.  Ids come from one
// process-wide counter, so the ids an index holds may lie anywhere below the
// largest id ever issued, however few they are: the store is a paged table
// whose pages are allocated on first use, so that its memory follows the
// objects it holds, not the ids.  An id is split into three parts: the block
// (a directory of pages, one per 2^20 ids, found in a short vector), the
// page within the block, and the slot within the page.
//
// A `StoredItem` is a shared handle to one strong reference to the object,
// so that engine threads can store and drop it without the interpreter lock
// (nested indexes are filled that way).  A handle belongs to one store only:
// the collector is told of each stored reference once.  The handle carries
// the object pointer itself, so that turning ids into objects (the last step
// of every query) reads one slot and the two small tables above it, which
// stay in cache.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/handle.hpp"
#include "structures/failure.hpp"

namespace corvane {

using StoredItem = SharedRef;

class Store {
public:
    // One past the largest id ever stored (removals leave it as it is).
    size_t size() const noexcept { return end_; }
    // How many slots hold an object.
    size_t count() const noexcept { return count_; }

    // Put `item` into slot `id`, releasing any item the slot held.
    void put(uint32_t id, StoredItem item) {
        if (item.get() == nullptr) {
            StoredItem doomed = take(id);
            return;
        }
        Page& page = page_for(id);
        Slot& slot = page.slots[id & kSlotMask];
        if (slot.item.get() == nullptr) {
            ++count_;
            ++page.used;
        }
        slot.item = std::move(item);
        if (static_cast<size_t>(id) >= end_) end_ = static_cast<size_t>(id) + 1;
    }

    // Empty slot `id` and hand its item to the caller, who decides when the
    // reference is dropped (dropping it may run a finaliser, which must not
    // find the store locked).  A page left without objects is freed, and so
    // is a block left without pages.
    StoredItem take(uint32_t id) noexcept {
        size_t b = id >> (kSlotBits + kPageBits);
        if (b >= blocks_.size() || !blocks_[b]) return StoredItem();
        Block& block = *blocks_[b];
        std::unique_ptr<Page>& page = block.pages[(id >> kSlotBits) & kPageMask];
        if (!page) return StoredItem();
        Slot& slot = page->slots[id & kSlotMask];
        if (slot.item.get() == nullptr) return StoredItem();
        StoredItem item = std::move(slot.item);
        --count_;
        if (--page->used == 0) {
            page.reset();
            if (--block.used == 0) blocks_[b].reset();
        }
        return item;
    }
    // A handle of its own to the item in slot `id` (empty when there is none).
    StoredItem item(uint32_t id) const {
        const Slot* slot = find(id);
        return slot != nullptr ? slot->item : StoredItem();
    }

    // The object in slot `id`, or null when the slot is empty.
    PyObject* get(uint32_t id) const noexcept {
        const Slot* slot = find(id);
        return slot != nullptr ? slot->item.get() : nullptr;
    }
    // Ask for slot `id` ahead of reading it.
    void prefetch(uint32_t id) const noexcept {
        if (const Slot* slot = find(id)) __builtin_prefetch(slot, 0, 3);
    }

    // Call f(obj) for every stored object in ascending id order.
    template <class F>
    void for_each(F&& f) const {
        for (const auto& block : blocks_) {
            if (!block) continue;
            for (const auto& page : block->pages) {
                if (!page) continue;
                for (const Slot& slot : page->slots)
                    if (PyObject* obj = slot.item.get()) f(obj);
            }
        }
    }

    // Call f(id, obj) for every stored object in ascending id order.
    template <class F>
    void for_each_id(F&& f) const {
        for (size_t b = 0; b < blocks_.size(); ++b) {
            if (!blocks_[b]) continue;
            for (size_t p = 0; p < blocks_[b]->pages.size(); ++p) {
                const Page* page = blocks_[b]->pages[p].get();
                if (page == nullptr) continue;
                const auto first = static_cast<uint32_t>(((b << kPageBits) | p) << kSlotBits);
                for (uint32_t s = 0; s < page->slots.size(); ++s)
                    if (PyObject* obj = page->slots[s].item.get()) f(first + s, obj);
            }
        }
    }

    // Check the counts of the store against its slots: every page and
    // block allocated holds an object, each counts what it holds, and no
    // object lies at or past `size()`.  Throws InternalFailure naming the
    // first violation.
    void validate() const {
        size_t stored = 0;
        size_t last_end = 0;
        for (size_t b = 0; b < blocks_.size(); ++b) {
            if (!blocks_[b]) continue;
            const Block& block = *blocks_[b];
            const std::string in_block = "block " + std::to_string(b);
            uint32_t pages = 0;
            for (size_t p = 0; p < block.pages.size(); ++p) {
                const Page* page = block.pages[p].get();
                if (page == nullptr) continue;
                ++pages;
                const std::string where = in_block + ", page " + std::to_string(p);
                uint32_t used = 0;
                for (size_t s = 0; s < page->slots.size(); ++s) {
                    const StoredItem& item = page->slots[s].item;
                    if (static_cast<bool>(item) != (item.get() != nullptr))
                        broken(where + ", slot " + std::to_string(s) +
                               (item ? ": a handle without an object"
                                     : ": an object without a handle"));
                    if (item.get() == nullptr) continue;
                    ++used;
                    last_end = (((b << kPageBits) | p) << kSlotBits) + s + 1;
                }
                if (used == 0) broken(where + ": allocated without an object");
                if (used != page->used)
                    broken(where + ": holds " + std::to_string(used) + " objects, counted " +
                           std::to_string(page->used));
                stored += used;
            }
            if (pages == 0) broken(in_block + ": allocated without a page");
            if (pages != block.used)
                broken(in_block + ": holds " + std::to_string(pages) + " pages, counted " +
                       std::to_string(block.used));
        }
        if (stored != count_)
            broken("holds " + std::to_string(stored) + " objects, counted " +
                   std::to_string(count_));
        if (last_end > end_)
            broken("an object at id " + std::to_string(last_end - 1) + ", past the end " +
                   std::to_string(end_));
    }

private:
    [[noreturn]] static void broken(const std::string& what) { fail("invalid store: " + what); }

    static constexpr unsigned kSlotBits = 10;  // 1,024 slots of 16 bytes a page
    static constexpr unsigned kPageBits = 10;  // 1,024 pages a block
    static constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;
    static constexpr uint32_t kPageMask = (1u << kPageBits) - 1;

    struct Slot {
        StoredItem item;  // empty, or holding an object
    };
    struct Page {
        std::array<Slot, size_t{1} << kSlotBits> slots;
        uint32_t used = 0;  // slots holding an object
    };
    struct Block {
        std::array<std::unique_ptr<Page>, size_t{1} << kPageBits> pages;
        uint32_t used = 0;  // pages allocated
    };

    const Slot* find(uint32_t id) const noexcept {
        size_t b = id >> (kSlotBits + kPageBits);
        if (b >= blocks_.size() || !blocks_[b]) return nullptr;
        const Page* page = blocks_[b]->pages[(id >> kSlotBits) & kPageMask].get();
        return page != nullptr ? &page->slots[id & kSlotMask] : nullptr;
    }

    Page& page_for(uint32_t id) {
        size_t b = id >> (kSlotBits + kPageBits);
        if (b >= blocks_.size()) blocks_.resize(b + 1);
        std::unique_ptr<Block>& block = blocks_[b];
        if (!block) block = std::make_unique<Block>();
        std::unique_ptr<Page>& page = block->pages[(id >> kSlotBits) & kPageMask];
        if (!page) {
            page = std::make_unique<Page>();
            ++block->used;
        }
        return *page;
    }

    std::vector<std::unique_ptr<Block>> blocks_;
    size_t end_ = 0;
    size_t count_ = 0;
};

}  // namespace corvane
