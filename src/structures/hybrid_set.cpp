#include "structures/hybrid_set.hpp"

namespace corvane {

HybridSet HybridSet::copy() const {
    HybridSet out;
    switch (form_) {
        case Form::Vacant: break;
        case Form::Small:
            out.form_ = Form::Small;
            out.len_ = len_;
            for (size_t i = 0; i < len_; ++i) out.ids_[i] = ids_[i];
            break;
        case Form::Large: out.become_large(bm_.copy()); break;
    }
    return out;
}

void HybridSet::add(uint32_t id) {
    switch (form_) {
        case Form::Vacant:
            // Not used by the engine; treat the placeholder as an empty set.
            *this = small_of(id);
            break;
        case Form::Small:
            if (len_ < kSmallCapacity) {
                ids_[len_++] = id;
            } else {
                Bitmap bm = small_bitmap();
                bm.add(id);
                become_large(std::move(bm));
            }
            break;
        case Form::Large: bm_.add(id); break;
    }
}

void HybridSet::remove(uint32_t id) {
    switch (form_) {
        case Form::Vacant: break;
        case Form::Small:
            // Only the first occurrence goes; later slots close the gap in order.
            for (size_t i = 0; i < len_; ++i) {
                if (ids_[i] == id) {
                    for (size_t j = i + 1; j < len_; ++j) ids_[j - 1] = ids_[j];
                    --len_;
                    break;
                }
            }
            break;
        case Form::Large: bm_.remove(id); break;
    }
}

void HybridSet::retain(const Bitmap& keep) {
    if (form_ == Form::Large) {
        bm_.and_inplace(keep);
        return;
    }
    size_t kept = 0;
    for (size_t i = 0; i < len_; ++i)
        if (keep.contains(ids_[i])) ids_[kept++] = ids_[i];
    len_ = kept;
}

bool HybridSet::add_new(uint32_t id) {
    if (form_ == Form::Large) return bm_.add_checked(id);
    if (contains(id)) return false;
    add(id);
    return true;
}

void HybridSet::add_many(const uint32_t* ids, size_t n) {
    size_t i = 0;
    for (; i < n && form_ != Form::Large; ++i) add_new(ids[i]);
    if (i < n) bm_.add_many(ids + i, n - i);
}

bool HybridSet::contains(uint32_t id) const {
    switch (form_) {
        case Form::Vacant: return false;
        case Form::Small:
            for (size_t i = 0; i < len_; ++i) {
                if (ids_[i] == id) return true;
            }
            return false;
        case Form::Large: return bm_.contains(id);
    }
    return false;
}

void HybridSet::or_inplace(const HybridSet& other) {
    if (other.form_ == Form::Vacant) return;  // nothing to add
    switch (form_) {
        case Form::Vacant: *this = other.copy(); break;
        case Form::Small:
            if (other.form_ == Form::Small) {
                const size_t mine = len_;
                const size_t theirs = other.len_;
                if (mine + theirs <= kSmallCapacity) {
                    // Append without removing duplicates (other may be *this).
                    for (size_t i = 0; i < theirs; ++i) ids_[mine + i] = other.ids_[i];
                    len_ = static_cast<uint8_t>(mine + theirs);
                } else {
                    Bitmap bm = small_bitmap();
                    bm.add_many(other.ids_, theirs);
                    become_large(std::move(bm));
                }
            } else {
                Bitmap bm = small_bitmap();
                bm.or_inplace(other.bm_);
                become_large(std::move(bm));
            }
            break;
        case Form::Large:
            if (other.form_ == Form::Small) {
                bm_.add_many(other.ids_, other.len_);
            } else {
                bm_.or_inplace(other.bm_);
            }
            break;
    }
}

void HybridSet::and_inplace(const HybridSet& other) {
    if (form_ == Form::Vacant) return;  // the placeholder stays empty
    switch (other.form_) {
        case Form::Vacant:
            // An absent operand counts as the empty set.
            become_large(Bitmap());
            break;
        case Form::Small: {
            // Build the other side first: other may be *this.
            Bitmap theirs = other.small_bitmap();
            and_inplace(theirs);
            break;
        }
        case Form::Large:
            if (form_ == Form::Small) become_large(small_bitmap());
            // After a conversion of *this, other (if it is *this) is large too.
            bm_.and_inplace(other.bm_);
            break;
    }
}

void HybridSet::and_inplace(const Bitmap& other) {
    switch (form_) {
        case Form::Vacant: break;
        case Form::Small: {
            Bitmap bm = small_bitmap();
            bm.and_inplace(other);
            become_large(std::move(bm));
            break;
        }
        case Form::Large: bm_.and_inplace(other); break;
    }
}

Bitmap HybridSet::as_bitmap() const {
    switch (form_) {
        case Form::Vacant: break;
        case Form::Small: return small_bitmap();
        case Form::Large: return bm_.copy();
    }
    return Bitmap();
}

void HybridSet::or_into(Bitmap& dst) const {
    switch (form_) {
        case Form::Vacant: break;
        case Form::Small: dst.add_many(ids_, len_); break;
        case Form::Large: dst.or_inplace(bm_); break;
    }
}

uint64_t HybridSet::cardinality() const {
    switch (form_) {
        case Form::Vacant: return 0;
        case Form::Small: return len_;
        case Form::Large: return bm_.cardinality();
    }
    return 0;
}

bool HybridSet::empty() const {
    switch (form_) {
        case Form::Vacant: return true;
        case Form::Small: return len_ == 0;
        case Form::Large: return bm_.empty();
    }
    return true;
}

const Bitmap& HybridSet::bitmap() const {
    if (form_ != Form::Large) fail(kUnwrapNone);
    return bm_;
}

}  // namespace corvane
