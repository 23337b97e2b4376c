#include "engine/text_order.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "structures/failure.hpp"

namespace corvane {

namespace {

// A key to look a text up among the value sets: text keys compare by hash
// and text alone.
PyValue probe(std::string_view text, uint64_t hash) {
    return PyValue::text_keyed(SharedRef(), CastValue::Str, text, hash);
}

[[noreturn]] void broken(const std::string& what) { fail("invalid text order: " + what); }

}  // namespace

void TextOrder::entered(const PyValue& key) {
    auto [it, fresh] = places_.try_emplace(key.text());
    if (fresh) it->second.hash = key.hash();
}

void TextOrder::set_dropped(const PyValue& key) {
    auto it = places_.find(key.text());
    if (it != places_.end() && !it->second.kept) places_.erase(it);
}

void TextOrder::withdraw(const ValueSets& sets, const PyValue& key, uint32_t id) {
    if (kept_places_ == 0) return;  // the common case: no narrowing happened
    auto it = places_.find(key.text());
    if (it == places_.end() || !it->second.kept) return;
    it->second.kept->ids.remove(id);
    if (it->second.kept->ids.empty()) release_kept(sets, it);
}

void TextOrder::withdraw_all(const ValueSets& sets, const Bitmap& ids) {
    if (kept_places_ == 0) return;
    for (auto it = places_.begin(); it != places_.end();) {
        Kept* kept = it->second.kept.get();
        if (kept == nullptr) {
            ++it;
            continue;
        }
        kept->ids.retain(kept->ids.as_bitmap().andnot(ids));
        it = kept->ids.empty() ? release_kept(sets, it) : std::next(it);
    }
}

TextOrder::Places::iterator TextOrder::release_kept(const ValueSets& sets, Places::iterator it) {
    --kept_places_;
    auto set = sets.find(probe(it->first, it->second.hash));
    Place place = std::move(it->second);
    it = places_.erase(it);
    if (set == sets.end()) return it;
    // The text's own value set holds it from now on: the place's text is
    // that of the set's key, which outlives it.
    place.kept.reset();
    auto [back, fresh] = places_.emplace(set->first.text(), std::move(place));
    return std::next(back);
}

void TextOrder::keep_aside(const PyValue& key, const HybridSet& set, const Bitmap& selected) {
    Bitmap leaving = set.as_bitmap().andnot(selected);
    if (leaving.empty()) return;
    auto [it, fresh] = places_.try_emplace(key.text());
    if (fresh) it->second.hash = key.hash();
    if (!it->second.kept) {
        it->second.kept =
            std::make_unique<Kept>(Kept{key, HybridSet::large_of(std::move(leaving))});
        ++kept_places_;
        return;
    }
    leaving.for_each([&](uint32_t id) { it->second.kept->ids.add_new(id); });
}

void TextOrder::merge(const ValueSets& sets, const TextOrder& other) {
    for (const auto& [text, place] : other.places_) {
        auto it = places_.find(text);
        if (it == places_.end()) {
            // Its text lives in a key this map now shares: the value set's
            // key, united into this map's sets, or the kept ids' key.
            auto set = sets.find(probe(text, place.hash));
            Place mine;
            mine.hash = place.hash;
            if (place.kept) {
                mine.kept = std::make_unique<Kept>(Kept{place.kept->key, place.kept->ids.copy()});
                ++kept_places_;
                places_.emplace(mine.kept->key.text(), std::move(mine));
            } else if (set != sets.end()) {
                places_.emplace(set->first.text(), std::move(mine));
            }
            continue;
        }
        if (!place.kept) continue;
        if (!it->second.kept) {
            // A place without kept ids has its value set, whose key takes
            // the kept ids' too, so that the place's text stays where it is.
            auto set = sets.find(probe(it->first, it->second.hash));
            if (set == sets.end()) broken("the place of " + debug_str(text) + " has no value set");
            it->second.kept = std::make_unique<Kept>(Kept{set->first, place.kept->ids.copy()});
            ++kept_places_;
            continue;
        }
        place.kept->ids.for_each([&](uint32_t id) { it->second.kept->ids.add_new(id); });
    }
}

const HybridSet* TextOrder::set_of(const ValueSets& sets, std::string_view text,
                                   const Place& p) const {
    auto it = sets.find(probe(text, p.hash));
    return it == sets.end() ? nullptr : &it->second;
}

Bitmap TextOrder::ids_of(const ValueSets& sets, std::string_view text, const Place& p) const {
    Bitmap out;
    if (const HybridSet* set = set_of(sets, text, p)) set->or_into(out);
    if (p.kept) p.kept->ids.or_into(out);
    return out;
}

void TextOrder::add_ids(const ValueSets& sets, Places::const_iterator from,
                        Places::const_iterator to, const Bitmap& universe, Bitmap& out) const {
    // Texts held by few ids (unique names, say) hand over their ids in text
    // order, which is no order of ids: adding them one by one to a bitmap
    // moves its arrays again and again, so they are gathered, sorted and
    // entered at once.  Larger sets are united as bitmaps.
    std::vector<uint32_t> loose;
    std::vector<const roaring_bitmap_t*> whole;
    auto take = [&](const HybridSet& set) {
        if (set.form() == HybridSet::Form::Large) {
            whole.push_back(set.bitmap().raw());
        } else {
            set.for_each([&](uint32_t id) { loose.push_back(id); });
        }
    };
    for (auto it = from; it != to; ++it) {
        if (const HybridSet* set = set_of(sets, it->first, it->second)) take(*set);
        if (it->second.kept) take(it->second.kept->ids);
    }
    if (!loose.empty()) {
        std::sort(loose.begin(), loose.end());
        out.or_inplace(Bitmap::of(loose.data(), loose.size()));
    }
    if (!whole.empty()) {
        if (!out.empty()) whole.push_back(out.raw());
        out = Bitmap::adopt(roaring_bitmap_or_many(whole.size(), whole.data()));
    }
    out.and_inplace(universe);
}

std::pair<TextOrder::Places::const_iterator, TextOrder::Places::const_iterator> TextOrder::span(
    std::optional<TextBound> lower, std::optional<TextBound> upper) const {
    if (lower && upper &&
        (lower->text > upper->text ||
         (lower->text == upper->text && !(lower->included && upper->included))))
        return {places_.end(), places_.end()};
    auto from = !lower            ? places_.begin()
                : lower->included ? places_.lower_bound(lower->text)
                                  : places_.upper_bound(lower->text);
    auto to = !upper            ? places_.end()
              : upper->included ? places_.upper_bound(upper->text)
                                : places_.lower_bound(upper->text);
    return {from, to};
}

std::pair<TextOrder::Places::const_iterator, TextOrder::Places::const_iterator>
TextOrder::prefix_span(std::string_view prefix) const {
    // UTF-8 is a prefix code: a text starts with `prefix` exactly when its
    // bytes do, and those texts follow one another from `prefix` on.
    auto from = places_.lower_bound(prefix);
    auto to = from;
    while (to != places_.end() && to->first.starts_with(prefix)) ++to;
    return {from, to};
}

Bitmap TextOrder::range(const ValueSets& sets, std::optional<TextBound> lower,
                        std::optional<TextBound> upper, const Bitmap& universe) const {
    Bitmap out;
    auto [from, to] = span(lower, upper);
    add_ids(sets, from, to, universe, out);
    return out;
}

Bitmap TextOrder::prefixed(const ValueSets& sets, std::string_view prefix,
                           const Bitmap& universe) const {
    Bitmap out;
    auto [from, to] = prefix_span(prefix);
    add_ids(sets, from, to, universe, out);
    return out;
}

std::optional<uint64_t> TextOrder::count_places(const ValueSets& sets, Places::const_iterator from,
                                                Places::const_iterator to, std::string_view prefix,
                                                size_t max_places) const {
    uint64_t total = 0;
    size_t places = 0;
    for (auto it = from; it != to && it->first.starts_with(prefix); ++it) {
        if (++places > max_places) return std::nullopt;
        if (const HybridSet* set = set_of(sets, it->first, it->second)) total += set->cardinality();
        if (it->second.kept) total += it->second.kept->ids.cardinality();
    }
    return total;
}

std::optional<uint64_t> TextOrder::count(const ValueSets& sets, std::optional<TextBound> lower,
                                         std::optional<TextBound> upper, size_t max_places) const {
    auto [from, to] = span(lower, upper);
    return count_places(sets, from, to, {}, max_places);
}

std::optional<uint64_t> TextOrder::count_prefixed(const ValueSets& sets, std::string_view prefix,
                                                  size_t max_places) const {
    // Walked from the prefix up to the cap only, not to the prefix's end.
    return count_places(sets, places_.lower_bound(prefix), places_.end(), prefix, max_places);
}

bool TextOrder::holds(const ValueSets& sets, const PyValue& key, uint32_t id) const {
    auto it = places_.find(key.text());
    if (it == places_.end()) return false;
    const HybridSet* set = set_of(sets, it->first, it->second);
    return (set != nullptr && set->contains(id)) ||
           (it->second.kept && it->second.kept->ids.contains(id));
}

void TextOrder::validate(const ValueSets& sets, const Bitmap& members) const {
    size_t kept = 0;
    for (const auto& entry : places_) kept += entry.second.kept ? 1 : 0;
    if (kept != kept_places_)
        broken(std::to_string(kept) + " places keep ids, counted " + std::to_string(kept_places_));
    for (const auto& [key, set] : sets) {
        if (key.key_kind() != KeyKind::Text) continue;
        auto it = places_.find(key.text());
        if (it == places_.end()) broken("the text " + debug_str(key.text()) + " has no place");
        if (it->second.hash != key.hash())
            broken("the place of " + debug_str(key.text()) + " has another hash");
    }
    for (const auto& [text, place] : places_) {
        const HybridSet* set = set_of(sets, text, place);
        if (set == nullptr && !place.kept)
            broken("the place of " + debug_str(text) + " has neither a value set nor kept ids");
        if (!place.kept) {
            if (set != nullptr &&
                sets.find(probe(text, place.hash))->first.text().data() != text.data())
                broken("the place of " + debug_str(text) + " is not its value set's text");
            continue;
        }
        if (place.kept->key.text().data() != text.data())
            broken("the place of " + debug_str(text) + " is not its kept ids' text");
        if (place.kept->ids.empty()) broken("the kept ids of " + debug_str(text) + " are empty");
        place.kept->ids.for_each([&](uint32_t id) {
            if (!members.contains(id))
                broken("the kept ids of " + debug_str(text) + " hold id " + std::to_string(id) +
                       ", not a member");
        });
    }
}

}  // namespace corvane
