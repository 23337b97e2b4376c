#include "engine/registration.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvane {

bool is_registered(const Registrations& regs, const std::weak_ptr<IndexAPI>& index) noexcept {
    return std::any_of(regs.begin(), regs.end(),
                       [&](const IndexMeta& m) { return same_index(m.index, index); });
}

void add_registration(Registrations& regs, std::weak_ptr<IndexAPI> index) {
    // An index that holds the object already is registered already: adding
    // the object again must cost nothing more, now or at later assignments.
    if (is_registered(regs, index)) return;
    regs.push_back(IndexMeta{std::move(index)});
    const IndexAPI* placeholder = default_index_arc().get();
    auto dead = [&](const IndexMeta& m) {
        auto strong = m.index.lock();
        return !strong || strong.get() == placeholder;
    };
    regs.erase(std::remove_if(regs.begin(), regs.end(), dead), regs.end());
    if (regs.size() >= 2) {
        auto key = [&](const IndexMeta& m) {
            auto strong = m.index.lock();
            return reinterpret_cast<uintptr_t>(strong ? strong.get() : placeholder);
        };
        std::stable_sort(regs.begin(), regs.end(),
                         [&](const IndexMeta& a, const IndexMeta& b) { return key(a) < key(b); });
    }
}

void remove_registration(Registrations& regs, const std::weak_ptr<IndexAPI>& index) noexcept {
    auto same = [&](const IndexMeta& m) { return same_index(m.index, index); };
    regs.erase(std::remove_if(regs.begin(), regs.end(), same), regs.end());
}

void drop_released(Registrations& regs, uint32_t id) {
    std::vector<std::weak_ptr<IndexAPI>> gone;
    // A copy: waiting for a member lock may let the owner's other threads
    // run, and none of them may see the list half-filtered.
    for (const IndexMeta& m : Registrations(regs)) {
        std::shared_ptr<IndexAPI> index = m.index.lock();
        if (index && is_nested(*index) && !index->member_ids->read()->contains(id))
            gone.push_back(m.index);
    }
    auto released = [&](const IndexMeta& m) {
        return std::any_of(gone.begin(), gone.end(), [&](const std::weak_ptr<IndexAPI>& g) {
            return same_index(m.index, g);
        });
    };
    regs.erase(std::remove_if(regs.begin(), regs.end(), released), regs.end());
}

size_t deepest_depth(const Registrations& regs) noexcept {
    size_t base = 0;
    for (const IndexMeta& meta : regs)
        if (std::shared_ptr<IndexAPI> index = meta.index.lock())
            base = std::max<size_t>(base, index->depth);
    return base;
}

}  // namespace corvane
