#include "python/attr_shape.hpp"

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

void AttrShape::drop(AttrShape* shape) noexcept {
    if (!shape->shared_) delete shape;
}

}  // namespace corvane
