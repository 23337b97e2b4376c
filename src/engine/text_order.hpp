// The order of the text values of one attribute.
//
// Texts form an ordered family of their own, in code point order, which is
// the byte order of their UTF-8 form.  They are not kept in the range tree:
// a text attribute usually takes few distinct values, and a tree pair per
// object would weigh on memory and on every assignment.  Instead the
// distinct texts are kept in order, once each, beside the value sets that
// hold their ids: a range of texts is the union of the value sets of the
// texts within it, and a place is made or dropped only when a text gets or
// loses its value set.
//
// The value sets alone do not say which ids a range holds once `reduce` has
// narrowed them: ranges keep every member, as the range tree does for
// numbers.  The ids a narrowing takes out of a text's value set are kept
// aside with its place (`Kept`), until the pair leaves the map, so that the
// pairs of a text are its value set together with its kept ids.  A text
// whose value set is gone keeps its place while it has kept ids.
#pragma once

#include <absl/container/btree_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "engine/value.hpp"
#include "engine/value_sets.hpp"
#include "structures/bitmap.hpp"
#include "structures/hybrid_set.hpp"

namespace corvane {

// One end of a range of texts.
struct TextBound {
    std::string_view text;
    bool included = true;
};

class TextOrder {
public:
    bool empty() const { return places_.empty(); }
    size_t size() const { return places_.size(); }

    // `key`, a text key, got a value set in `sets`: it takes its place.
    void entered(const PyValue& key);
    // The value set of text key `key` was dropped from `sets`.
    void set_dropped(const PyValue& key);
    // (key, id) leaves the map: it leaves the ids kept aside for `key`.
    void withdraw(const ValueSets& sets, const PyValue& key, uint32_t id);
    // Every id of `ids` leaves the ids kept aside, whatever the text.
    void withdraw_all(const ValueSets& sets, const Bitmap& ids);
    // The value set `set` of text key `key` is about to keep only the ids of
    // `selected`: the others are kept aside.
    void keep_aside(const PyValue& key, const HybridSet& set, const Bitmap& selected);
    // Take the places and kept ids of `other`, whose value sets were
    // already united into `sets`.
    void merge(const ValueSets& sets, const TextOrder& other);

    // The ids of `universe` holding a text between the bounds (an absent
    // bound leaves that side open).
    Bitmap range(const ValueSets& sets, std::optional<TextBound> lower,
                 std::optional<TextBound> upper, const Bitmap& universe) const;
    // The ids of `universe` holding a text that starts with `prefix`.
    Bitmap prefixed(const ValueSets& sets, std::string_view prefix, const Bitmap& universe) const;
    // How many pairs the texts between the bounds hold (those that start
    // with `prefix`), counted over at most `max_places` texts: nullopt when
    // there are more.  An estimate for planning, without building a set.
    std::optional<uint64_t> count(const ValueSets& sets, std::optional<TextBound> lower,
                                  std::optional<TextBound> upper, size_t max_places) const;
    std::optional<uint64_t> count_prefixed(const ValueSets& sets, std::string_view prefix,
                                           size_t max_places) const;
    // Call f(ids) with the ids holding each text, in ascending or descending
    // text order, until f returns false.
    template <class F>
    void walk(const ValueSets& sets, bool descending, F&& f) const {
        if (descending) {
            for (auto it = places_.rbegin(); it != places_.rend(); ++it)
                if (!f(ids_of(sets, it->first, it->second))) return;
        } else {
            for (auto it = places_.begin(); it != places_.end(); ++it)
                if (!f(ids_of(sets, it->first, it->second))) return;
        }
    }

    // True when `id` is recorded with text key `key` (in its set or kept).
    bool holds(const ValueSets& sets, const PyValue& key, uint32_t id) const;
    // Check the places against the value sets: every text key with a value
    // set has a place, every place has a value set or kept ids, and kept ids
    // are members.  Throws InternalFailure naming the first violation.
    void validate(const ValueSets& sets, const Bitmap& members) const;

private:
    struct Kept {
        PyValue key;  // keeps the text alive once its value set is gone
        HybridSet ids;
    };
    // The text a place is keyed by lives in the key of its kept ids when it
    // has some, else in the key of its value set.
    struct Place {
        uint64_t hash = 0;
        std::unique_ptr<Kept> kept;
    };
    using Places = absl::btree_map<std::string_view, Place>;

    // The kept ids of the place at `it` are gone: the place goes too, or
    // stays with its value set alone.  Returns the place after it.
    Places::iterator release_kept(const ValueSets& sets, Places::iterator it);
    // The places between the bounds, from the first to the one after the
    // last.
    std::pair<Places::const_iterator, Places::const_iterator> span(
        std::optional<TextBound> lower, std::optional<TextBound> upper) const;
    std::pair<Places::const_iterator, Places::const_iterator> prefix_span(
        std::string_view prefix) const;
    std::optional<uint64_t> count_places(const ValueSets& sets, Places::const_iterator from,
                                         Places::const_iterator to, std::string_view prefix,
                                         size_t max_places) const;
    const HybridSet* set_of(const ValueSets& sets, std::string_view text, const Place& p) const;
    Bitmap ids_of(const ValueSets& sets, std::string_view text, const Place& p) const;
    void add_ids(const ValueSets& sets, Places::const_iterator from, Places::const_iterator to,
                 const Bitmap& universe, Bitmap& out) const;

    Places places_;
    // The places with kept ids: none until a narrowing, so that withdrawing
    // a pair costs no lookup then.
    size_t kept_places_ = 0;
};

}  // namespace corvane
