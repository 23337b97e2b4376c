// The id set stored per attribute value.
//
// Most attribute values are carried by a handful of objects, so a set keeps
// up to four ids inline (no allocation) and switches to a CRoaring bitmap
// when a fifth id arrives.  The switch is one-way: a bitmap set stays a
// bitmap set even when it empties.
//
// The inline form keeps ids in insertion order and never checks membership,
// so one id may occupy two slots; duplicates collapse as soon as the ids are
// put into a bitmap.
//
// The whole record is 24 bytes so that value maps can store it inline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "structures/bitmap.hpp"

namespace corvane {

class HybridSet {
public:
    enum class Form : uint8_t { Vacant, Small, Large };
    static constexpr size_t kSmallCapacity = 4;

    // Vacant: a placeholder that holds nothing.
    HybridSet() noexcept : form_(Form::Vacant), len_(0) {}
    static HybridSet small_of(uint32_t id) {
        HybridSet s = empty_small();
        s.ids_[0] = id;
        s.len_ = 1;
        return s;
    }
    static HybridSet empty_small() {
        HybridSet s;
        s.form_ = Form::Small;
        return s;
    }
    // Takes ownership of a bitmap: the result is in the large form.
    static HybridSet large_of(Bitmap bm) {
        HybridSet s;
        s.become_large(std::move(bm));
        return s;
    }

    HybridSet(HybridSet&& o) noexcept : form_(Form::Vacant), len_(0) { take(o); }
    HybridSet& operator=(HybridSet&& o) noexcept {
        if (this != &o) {
            destroy();
            take(o);
        }
        return *this;
    }
    HybridSet(const HybridSet&) = delete;
    HybridSet& operator=(const HybridSet&) = delete;
    ~HybridSet() { destroy(); }

    // Deep copy, in the same form.
    HybridSet copy() const;

    Form form() const { return form_; }

    void add(uint32_t id);
    void remove(uint32_t id);
    bool contains(uint32_t id) const;
    // Add `id` unless it is already there; true when it was added.
    bool add_new(uint32_t id);
    // Add every id of `ids` (`n` of them) that is not there yet: the set
    // ends as `add_new` of each in turn leaves it, and once it is a bitmap
    // the rest go in with one call.
    void add_many(const uint32_t* ids, size_t n);

    void or_inplace(const HybridSet& other);
    void and_inplace(const HybridSet& other);
    void and_inplace(const Bitmap& other);
    // Keep only the ids in `keep`, without changing form: an inline set
    // stays inline (narrowing many small sets must not allocate a bitmap
    // for each).
    void retain(const Bitmap& keep);

    // A new, independent bitmap with this set's ids.
    Bitmap as_bitmap() const;
    // Unite this set's ids into dst without building a temporary bitmap.
    void or_into(Bitmap& dst) const;

    // Inline form: number of used slots (a duplicated id counts twice).
    uint64_t cardinality() const;
    bool empty() const;

    // Inline form: used slots in slot order; bitmap form: ascending ids.
    template <class F>
    void for_each(F&& f) const {
        switch (form_) {
            case Form::Vacant: break;
            case Form::Small:
                for (size_t i = 0; i < len_; ++i) f(ids_[i]);
                break;
            case Form::Large: bm_.for_each(f); break;
        }
    }

    // Inspection (tests and debugging).
    size_t small_len() const { return form_ == Form::Small ? len_ : 0; }
    uint32_t small_id(size_t i) const { return ids_[i]; }
    const Bitmap& bitmap() const;

private:
    void destroy() noexcept {
        if (form_ == Form::Large) bm_.~Bitmap();
        form_ = Form::Vacant;
        len_ = 0;
    }
    // Move o's content into this (which must hold nothing); o becomes vacant.
    void take(HybridSet& o) noexcept {
        form_ = o.form_;
        len_ = o.len_;
        if (form_ == Form::Large) {
            new (&bm_) Bitmap(std::move(o.bm_));
        } else if (form_ == Form::Small) {
            for (size_t i = 0; i < len_; ++i) ids_[i] = o.ids_[i];
        }
        o.destroy();
    }
    // Replace the current content by bm, in the large form.
    void become_large(Bitmap&& bm) noexcept {
        destroy();
        new (&bm_) Bitmap(std::move(bm));
        form_ = Form::Large;
    }
    // Bitmap of the used inline slots (bulk add).
    Bitmap small_bitmap() const { return Bitmap::of(ids_, len_); }

    union {
        uint32_t ids_[kSmallCapacity];
        Bitmap bm_;
    };
    Form form_;
    uint8_t len_;
};

static_assert(sizeof(HybridSet) == 24, "HybridSet is stored inline in map entries");

}  // namespace corvane
