// A thin owning handle around a CRoaring 32-bit bitmap.
//
// Every id set that leaves a data structure (query results, view selections,
// per-child sets of the range tree) is a `Bitmap`.  The handle is move-only
// by default; `copy()` makes an independent deep copy.  Iteration is in
// ascending id order.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "structures/failure.hpp"

namespace corvane {

class Bitmap {
public:
    Bitmap() : p_(make()) {}
    // Adopt a bitmap produced by a CRoaring function (null means failure).
    static Bitmap adopt(roaring_bitmap_t* raw) {
        if (raw == nullptr) fail(kBitmapNull);
        return Bitmap(raw);
    }
    static Bitmap of(const uint32_t* ids, size_t n) {
        Bitmap b;
        if (n != 0) roaring_bitmap_add_many(b.p_, n, ids);
        return b;
    }

    Bitmap(Bitmap&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Bitmap& operator=(Bitmap&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    ~Bitmap() { reset(); }

    Bitmap copy() const { return adopt(roaring_bitmap_copy(raw())); }

    roaring_bitmap_t* raw() { return p_; }
    const roaring_bitmap_t* raw() const { return p_; }

    void add(uint32_t id) { roaring_bitmap_add(p_, id); }
    // True when `id` was not there before.
    bool add_checked(uint32_t id) { return roaring_bitmap_add_checked(p_, id); }
    void add_many(const uint32_t* ids, size_t n) {
        if (n != 0) roaring_bitmap_add_many(p_, n, ids);
    }
    void remove(uint32_t id) { roaring_bitmap_remove(p_, id); }
    bool contains(uint32_t id) const { return roaring_bitmap_contains(p_, id); }
    bool empty() const { return roaring_bitmap_is_empty(p_); }
    uint64_t cardinality() const { return roaring_bitmap_get_cardinality(p_); }
    uint32_t maximum() const { return roaring_bitmap_maximum(p_); }
    void clear() { roaring_bitmap_clear(p_); }

    void or_inplace(const Bitmap& o) { roaring_bitmap_or_inplace(p_, o.p_); }
    void and_inplace(const Bitmap& o) { roaring_bitmap_and_inplace(p_, o.p_); }
    void andnot_inplace(const Bitmap& o) { roaring_bitmap_andnot_inplace(p_, o.p_); }
    Bitmap and_(const Bitmap& o) const { return adopt(roaring_bitmap_and(p_, o.p_)); }
    Bitmap andnot(const Bitmap& o) const { return adopt(roaring_bitmap_andnot(p_, o.p_)); }
    Bitmap or_(const Bitmap& o) const { return adopt(roaring_bitmap_or(p_, o.p_)); }
    uint64_t and_cardinality(const Bitmap& o) const {
        return roaring_bitmap_and_cardinality(p_, o.p_);
    }
    bool intersects(const Bitmap& o) const { return roaring_bitmap_intersect(p_, o.p_); }
    bool operator==(const Bitmap& o) const { return roaring_bitmap_equals(p_, o.p_); }

    // Call f(id) for every id in ascending order.
    template <class F>
    void for_each(F&& f) const {
        roaring_uint32_iterator_t it;
        roaring_init_iterator(p_, &it);
        while (it.has_value) {
            f(it.current_value);
            roaring_advance_uint32_iterator(&it);
        }
    }

    // Ascending iteration in chunks, for hot loops that want a buffer.
    template <class F>
    void for_each_chunk(F&& f) const {
        uint32_t buf[256];
        roaring_uint32_iterator_t it;
        roaring_init_iterator(p_, &it);
        for (;;) {
            uint32_t n = roaring_read_uint32_iterator(&it, buf, 256);
            if (n == 0) break;
            f(buf, n);
        }
    }

private:
    explicit Bitmap(roaring_bitmap_t* raw) : p_(raw) {}
    static roaring_bitmap_t* make() {
        roaring_bitmap_t* r = roaring_bitmap_create_with_capacity(0);
        if (r == nullptr) fail(kBitmapCreate);
        return r;
    }
    void reset() {
        if (p_ != nullptr) roaring_bitmap_free(p_);
        p_ = nullptr;
    }
    roaring_bitmap_t* p_;
};

}  // namespace corvane
