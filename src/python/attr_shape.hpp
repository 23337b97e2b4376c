// Attribute shapes: the names of an object's attributes, in order, shared by
// every object that gained the same names in the same order.
//
// Objects of one program mostly carry the same few names, assigned in the
// same order (those of its constructor calls): instead of a name per value,
// an object keeps one pointer to its shape.  Shapes form a tree: the empty
// shape at the root, and under each shape one child per name appended to
// it.  Shared shapes are never freed, like the name records they list.
//
// A program that keeps making new orders or new names would grow the tree
// without end: past a bounded number of shapes, or of children under one
// shape, or of names in one, an object gets a private shape instead, a list
// of names of its own, which it extends in place and frees when it goes.
//
// Shapes are made and changed only under the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/attr_name.hpp"

namespace corvane {

class AttrShape {
public:
    // The shared shape of no names.
    static AttrShape* empty() noexcept;

    size_t size() const noexcept { return names_.size(); }
    const AttrName* names() const noexcept { return names_.data(); }
    bool shared() const noexcept { return shared_; }

    // The position of `name`, or -1 (as size_t).
    size_t index_of(AttrName name) const noexcept {
        const AttrName* n = names_.data();
        for (size_t i = 0, end = names_.size(); i < end; ++i)
            if (n[i] == name) return i;
        return static_cast<size_t>(-1);
    }

    // The shape of `shape`'s names and `name` after them: a shared child, or
    // `shape` itself extended when it is private, or a new private shape.
    static AttrShape* extend(AttrShape* shape, AttrName name);
    // The shape of `shape`'s names less the last: its parent, or `shape`
    // itself shortened when it is private (freed, and the empty shape
    // given, once it has no names left).
    static AttrShape* shorten(AttrShape* shape) noexcept;
    // Give up a shape: a private one is freed.
    static void drop(AttrShape* shape) noexcept;

    // How many shared shapes exist (for tests and figures).
    static size_t shared_count() noexcept;

    // Check the shape: its names distinct; a shared one is its parent's
    // names and one more, listed among the parent's children under that
    // name.  Throws InternalFailure naming the first violation.
    void validate() const;

    // Limits of the shared tree.
    static constexpr size_t kMaxShared = 65536;    // shapes in all
    static constexpr size_t kMaxChildren = 64;     // names appended to one shape
    static constexpr size_t kMaxSharedNames = 64;  // names in one shape

private:
    AttrShape(bool shared, AttrShape* parent) noexcept : shared_(shared), parent_(parent) {}

    std::vector<AttrName> names_;
    // Shared shapes: the children, by the name appended.
    std::vector<std::pair<AttrName, AttrShape*>> children_;
    bool shared_;
    AttrShape* parent_;
};

}  // namespace corvane
