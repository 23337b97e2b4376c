#include "python/attr_shape.hpp"

#include <algorithm>
#include <string>

#include "structures/failure.hpp"

namespace corvane {

namespace {

size_t shared_shapes = 1;  // the empty shape

}  // namespace

AttrShape* AttrShape::empty() noexcept {
    // Never destroyed: objects may still hold shapes while the process exits.
    static AttrShape* root = new AttrShape(true, nullptr);
    return root;
}

size_t AttrShape::shared_count() noexcept { return shared_shapes; }

AttrShape* AttrShape::extend(AttrShape* shape, AttrName name) {
    if (!shape->shared_) {
        shape->names_.push_back(name);
        return shape;
    }
    for (const auto& [n, child] : shape->children_)
        if (n == name) return child;
    const bool room = shared_shapes < kMaxShared && shape->children_.size() < kMaxChildren &&
                      shape->names_.size() < kMaxSharedNames;
    auto* next = new AttrShape(room, room ? shape : nullptr);
    next->names_.reserve(shape->names_.size() + 1);
    next->names_ = shape->names_;
    next->names_.push_back(name);
    if (room) {
        shape->children_.emplace_back(name, next);
        ++shared_shapes;
    }
    return next;
}

AttrShape* AttrShape::shorten(AttrShape* shape) noexcept {
    if (shape->shared_) return shape->parent_ != nullptr ? shape->parent_ : shape;
    shape->names_.pop_back();
    if (!shape->names_.empty()) return shape;
    delete shape;
    return empty();
}

void AttrShape::validate() const {
    for (size_t i = 0; i < names_.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (names_[i] == names_[j])
                fail("invalid shape: the name \"" + names_[i].str() + "\" twice");
    if (!shared_ || parent_ == nullptr) {
        if (shared_ && !names_.empty())
            fail("invalid shape: a shared shape with names and no parent");
        return;
    }
    const std::vector<AttrName>& up = parent_->names_;
    if (up.size() + 1 != names_.size() || !std::equal(up.begin(), up.end(), names_.begin()))
        fail("invalid shape: not its parent's names and one more");
    bool listed = false;
    for (const auto& [n, child] : parent_->children_)
        listed = listed || (child == this && n == names_.back());
    if (!listed) fail("invalid shape: not listed among its parent's children");
}

void AttrShape::drop(AttrShape* shape) noexcept {
    if (!shape->shared_) delete shape;
}

}  // namespace corvane
