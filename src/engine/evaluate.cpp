#include "engine/evaluate.hpp"

#include <absl/strings/string_view.h>

#include <algorithm>

#include "engine/query_map.hpp"
#include "structures/failure.hpp"
#include "structures/intersection.hpp"

namespace corvane {

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view attr) {
    size_t dot = attr.find('.');
    if (dot == std::string_view::npos) return {attr, std::nullopt};
    return {attr.substr(0, dot), attr.substr(dot + 1)};
}

namespace {

Bitmap range(const QueryMap& map, const Bound& lower, const Bound& upper, const Bitmap& universe) {
    return map.ranged->settled().query_range(lower, upper, universe);
}

// The same comparison on the tail of a dotted path.
QueryExpr with_attr(const QueryExpr& e, std::string_view tail) {
    QueryExpr copy;
    copy.op = e.op;
    copy.attr = std::string(tail);
    copy.values = e.values;
    return copy;
}

// Reported at the caller's place: the failure report names the function
// that met the unsupported query.
[[noreturn]] void not_implemented(std::source_location where = std::source_location::current()) {
    fail("not yet implemented", where);
}

// The operands of an `and`, with those of nested `and`s in their place.
void flatten_and(const QueryExpr& e, std::vector<const QueryExpr*>& out) {
    for (const QueryExpr& operand : e.exprs) {
        if (operand.op == QueryExpr::Op::And) {
            flatten_and(operand, out);
        } else {
            out.push_back(&operand);
        }
    }
}

// A plain equality: `==` on an attribute of this index (no dotted path).
bool plain_equality(const QueryExpr& e) {
    return e.op == QueryExpr::Op::Eq && e.attr.find('.') == std::string::npos;
}

// The value set a plain equality selects, or null when no object has the
// value (or the attribute).
const HybridSet* equality_set(const AttrMaps& maps, const QueryExpr& e) {
    auto found = maps.find(absl::string_view(e.attr));
    if (found == maps.end()) return nullptr;
    auto it = found->second->exact.find(e.values[0]);
    return it == found->second->exact.end() ? nullptr : &it->second;
}

// Whether evaluating e can stop with the internal failure: a range bound
// without an order.  An `and` holding such an operand runs its operands as
// written, so that whether it stops never depends on a plan.
bool may_refuse(const QueryExpr& e) {
    using Op = QueryExpr::Op;
    switch (e.op) {
        case Op::Gt:
        case Op::Ge:
        case Op::Lt:
        case Op::Le: return e.values[0].kind() == CastValue::Ind;
        case Op::Bt: {
            // Numbers, the other ordered families and texts all have an order.
            const auto unordered = [](const PyValue& v) {
                return !v.is_numeric() && v.key_kind() != KeyKind::Text;
            };
            return unordered(e.values[0]) || unordered(e.values[1]);
        }
        case Op::Not:
        case Op::And:
        case Op::Or:
            return std::any_of(e.exprs.begin(), e.exprs.end(),
                               [](const QueryExpr& x) { return may_refuse(x); });
        default: return false;
    }
}

constexpr uint64_t kUnknown = UINT64_MAX;
// Beyond this many distinct texts a range of texts is not counted: it is
// taken as larger than anything counted, though still known to be cheaper
// to run than an operand without an estimate.
constexpr size_t kTextsCounted = 256;
constexpr uint64_t kManyTexts = kUnknown - 1;

std::pair<Bound, Bound> one_sided_bounds(const BitMapBTree& tree, QueryExpr::Op op, RangeValue rv);

// The estimate of a prefix or a range whose bounds are texts: the ids of
// the texts inside it, counted up to `kTextsCounted` texts.
uint64_t estimate_texts(const QueryMap& map, const QueryExpr& e) {
    using Op = QueryExpr::Op;
    const PyValue& first = e.values[0];
    std::optional<uint64_t> n;
    switch (e.op) {
        case Op::StartsWith:
            if (first.key_kind() != KeyKind::Text) return 0;
            n = map.texts.count_prefixed(map.exact, first.text(), kTextsCounted);
            break;
        case Op::Bt:
            n = map.texts.count(map.exact, TextBound{first.text(), true},
                                TextBound{e.values[1].text(), true}, kTextsCounted);
            break;
        default: {
            const TextBound bound{first.text(), e.op == Op::Ge || e.op == Op::Le};
            const bool lower = e.op == Op::Gt || e.op == Op::Ge;
            n = map.texts.count(map.exact, lower ? std::optional(bound) : std::nullopt,
                                lower ? std::nullopt : std::optional(bound), kTextsCounted);
        }
    }
    return n.value_or(kManyTexts);
}

// How many objects e selects at most, from what the maps know without
// evaluating it: value-set sizes for equalities, element-set sizes for
// `contains`, range-tree counts for ranges, and the value-set sizes of the
// texts within a range of texts or a prefix (up to `kTextsCounted` texts).
// kUnknown for what costs an evaluation to know (dotted paths, negations).
uint64_t estimate(const AttrMaps& maps, const QueryExpr& e) {
    using Op = QueryExpr::Op;
    if (e.op == Op::Or) {
        uint64_t sum = 0;
        for (const QueryExpr& x : e.exprs) {
            const uint64_t part = estimate(maps, x);
            if (part == kUnknown) return kUnknown;
            sum = part >= kManyTexts - sum ? kManyTexts : sum + part;
        }
        return sum;
    }
    if (e.op == Op::Not || e.op == Op::And || e.op == Op::Ne) return kUnknown;
    if (e.attr.find('.') != std::string::npos) return kUnknown;
    auto found = maps.find(absl::string_view(e.attr));
    if (found == maps.end()) return 0;
    const QueryMap& map = *found->second;
    const auto ordered = [](const PyValue& v) {
        return v.kind() == CastValue::Int || v.kind() == CastValue::Float ||
               v.kind() == CastValue::Ordered;
    };
    switch (e.op) {
        case Op::Eq:
        case Op::In: {
            uint64_t sum = 0;
            for (const PyValue& v : e.values) {
                auto it = map.exact.find(v);
                if (it != map.exact.end()) sum += it->second.cardinality();
            }
            return sum;
        }
        case Op::Contains: {
            auto it = map.elements.find(e.values[0]);
            return it == map.elements.end() ? 0 : it->second.cardinality();
        }
        case Op::StartsWith: return estimate_texts(map, e);
        case Op::Gt:
        case Op::Ge:
        case Op::Lt:
        case Op::Le: {
            if (e.values[0].key_kind() == KeyKind::Text) return estimate_texts(map, e);
            if (!ordered(e.values[0])) return kUnknown;
            const BitMapBTree& tree = map.ranged->settled();
            auto [lower, upper] = one_sided_bounds(tree, e.op, e.values[0].range_value());
            return tree.count_range(lower, upper);
        }
        case Op::Bt: {
            const PyValue &lo = e.values[0], &hi = e.values[1];
            if (lo.key_kind() == KeyKind::Text && hi.key_kind() == KeyKind::Text)
                return estimate_texts(map, e);
            if (!ordered(lo) || !ordered(hi)) return kUnknown;
            return map.ranged->settled().count_range(Bound::included(lo.range_value()),
                                                     Bound::included(hi.range_value()));
        }
        default: return kUnknown;
    }
}

// Puts the operands in the order their estimates suggest, smallest first,
// so that each runs within the narrowest universe the others can give it;
// operands without an estimate keep their written order after the rest.
// False when some operand selects nothing: so does the `and`.
bool plan(const AttrMaps& maps, std::vector<const QueryExpr*>& operands) {
    std::vector<std::pair<uint64_t, const QueryExpr*>> costed;
    costed.reserve(operands.size());
    for (const QueryExpr* e : operands) {
        const uint64_t n = estimate(maps, *e);
        if (n == 0) return false;
        costed.emplace_back(n, e);
    }
    std::stable_sort(costed.begin(), costed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < costed.size(); ++i) operands[i] = costed[i].second;
    return true;
}

// Operands run one after another, each within what the earlier ones left,
// and stop once nothing is left (nested `and`s read as one sequence).  The
// order is planned unless an operand may refuse its bound, in which case
// it is the written one and the first operand runs even on an empty
// universe.  Leading equalities on plain attributes meet the universe in
// one chunk-wise intersection.  Kept out of `evaluate_query` so that the
// frame repeated by each level of a deep expression stays small.
[[gnu::noinline]] Bitmap evaluate_and(const AttrMaps& maps, const Bitmap& universe,
                                      const QueryExpr& e) {
    std::vector<const QueryExpr*> operands;
    flatten_and(e, operands);
    const bool planned = std::none_of(operands.begin(), operands.end(),
                                      [](const QueryExpr* x) { return may_refuse(*x); });
    if (planned && !plan(maps, operands)) return Bitmap();
    std::vector<Bitmap> built;
    built.reserve(operands.size());  // `sets` points into it
    std::vector<const Bitmap*> sets{&universe};
    size_t next = 0;
    for (; next < operands.size() && plain_equality(*operands[next]); ++next) {
        const HybridSet* set = equality_set(maps, *operands[next]);
        if (set == nullptr) return Bitmap();
        if (set->form() == HybridSet::Form::Large) {
            sets.push_back(&set->bitmap());
        } else {
            built.push_back(set->as_bitmap());
            sets.push_back(&built.back());
        }
    }
    Bitmap acc = intersect_all(sets.data(), sets.size());
    for (; next < operands.size() && (next == 0 || !acc.empty()); ++next) {
        const QueryExpr& operand = *operands[next];
        if (planned && plain_equality(operand)) {
            // Met in place: no copy of a large value set.
            const HybridSet* set = equality_set(maps, operand);
            if (set == nullptr) return Bitmap();
            if (set->form() == HybridSet::Form::Large) {
                acc.and_inplace(set->bitmap());
            } else {
                acc.and_inplace(set->as_bitmap());
            }
            continue;
        }
        Bitmap part = evaluate_query(maps, acc, operand);
        acc.and_inplace(part);
    }
    return acc;
}

// A comparison on the members of a cycle index (maps `maps`, member ids
// `members`): a dotted path is looked up in the index itself, one name at
// a time from the last.
Bitmap closed_query(const AttrMaps& maps, const Bitmap& members, const QueryExpr& e) {
    auto [head, tail] = attr_parts(e.attr);
    if (!tail) return evaluate_query(maps, members, e);
    auto found = maps.find(absl::string_view(head.data(), head.size()));
    if (found == maps.end()) return Bitmap();
    Bitmap holders = found->second->holders_of(closed_query(maps, members, with_attr(e, *tail)));
    holders.and_inplace(members);
    return holders;
}

}  // namespace

Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr) {
    Bitmap nested_ids = reduced_query(*map.nested, expr);
    if (!map.looped.empty()) {
        // The objects looped here answer from the cycle index.
        const IndexAPI& cycle = *map.cycle;
        auto maps = cycle.attr_maps->read();
        auto members = cycle.member_ids->read();
        Bitmap looped = closed_query(*maps, *members, expr);
        looped.and_inplace(map.looped);
        nested_ids.or_inplace(looped);
    }
    return map.holders_of(nested_ids);
}

namespace {

// `==` (one value) or `in` (any of the values).
Bitmap evaluate_equality(const QueryMap& map, const Bitmap& universe, const QueryExpr& e) {
    if (e.op == QueryExpr::Op::Eq) {
        auto it = map.exact.find(e.values[0]);
        if (it == map.exact.end()) return Bitmap();
        Bitmap ids = it->second.as_bitmap();
        ids.and_inplace(universe);
        return ids;
    }
    Bitmap ids;
    for (const PyValue& v : e.values) {
        auto it = map.exact.find(v);
        if (it != map.exact.end()) it->second.or_into(ids);
    }
    ids.and_inplace(universe);
    return ids;
}

// `contains`: the ids holding a tuple or frozenset with an element that is
// one key with the value.
Bitmap evaluate_contains(const QueryMap& map, const Bitmap& universe, const QueryExpr& e) {
    auto it = map.elements.find(e.values[0]);
    if (it == map.elements.end()) return Bitmap();
    Bitmap ids = it->second.as_bitmap();
    ids.and_inplace(universe);
    return ids;
}

// `>`, `>=`, `<` or `<=` against the ordered value rv.  The open side ends
// where the bound's family does: values of other families never compare
// with it.  That side is left open when the tree holds nothing beyond the
// family, so that the outermost children go whole.
std::pair<Bound, Bound> one_sided_bounds(const BitMapBTree& tree, QueryExpr::Op op, RangeValue rv) {
    using Op = QueryExpr::Op;
    auto [low, high] = family_span(CompositeKey128::value_part_of(rv));
    Bound first = tree.lowest_value_part() >= low ? Bound::unbounded()
                                                  : Bound::included(RangeValue::of_encoded(low));
    Bound last = tree.highest_value_part() <= high ? Bound::unbounded()
                                                   : Bound::included(RangeValue::of_encoded(high));
    switch (op) {
        case Op::Gt: return {Bound::excluded(rv), last};
        case Op::Ge: return {Bound::included(rv), last};
        case Op::Lt: return {first, Bound::excluded(rv)};
        default: return {first, Bound::included(rv)};
    }
}

Bitmap evaluate_one_sided(const QueryMap& map, const Bitmap& universe, QueryExpr::Op op,
                          RangeValue rv) {
    auto [lower, upper] = one_sided_bounds(map.ranged->settled(), op, rv);
    return range(map, lower, upper, universe);
}

// True when `v` is keyed as a text: texts order among texts alone.
bool is_text(const PyValue& v) { return v.key_kind() == KeyKind::Text; }

// `>`, `>=`, `<` or `<=` against a text.
Bitmap evaluate_text_one_sided(const QueryMap& map, const Bitmap& universe, QueryExpr::Op op,
                               std::string_view text) {
    using Op = QueryExpr::Op;
    switch (op) {
        case Op::Gt: return map.texts.range(map.exact, TextBound{text, false}, {}, universe);
        case Op::Ge: return map.texts.range(map.exact, TextBound{text, true}, {}, universe);
        case Op::Lt: return map.texts.range(map.exact, {}, TextBound{text, false}, universe);
        default: return map.texts.range(map.exact, {}, TextBound{text, true}, universe);
    }
}

// A one-sided range comparison with the value of `e`: values without a range
// key select nothing; an `Indexable` one is not supported.
Bitmap evaluate_ordering(const QueryMap& map, const Bitmap& universe, const QueryExpr& e) {
    const PyValue& v = e.values[0];
    if (is_text(v)) return evaluate_text_one_sided(map, universe, e.op, v.text());
    switch (v.kind()) {
        case CastValue::Int:
        case CastValue::Float:
        case CastValue::Ordered: return evaluate_one_sided(map, universe, e.op, v.range_value());
        case CastValue::Str:
        case CastValue::Unknown: return Bitmap();
        case CastValue::Ind: not_implemented();
    }
    return Bitmap();
}

// `bt`: both bounds included.  Bounds of two families select nothing: no
// value orders against both.
Bitmap evaluate_between(const QueryMap& map, const Bitmap& universe, const QueryExpr& e) {
    const PyValue& lo = e.values[0];
    const PyValue& hi = e.values[1];
    if (!(lo.is_numeric() || is_text(lo)) || !(hi.is_numeric() || is_text(hi))) not_implemented();
    if (is_text(lo) || is_text(hi)) {
        if (!is_text(lo) || !is_text(hi)) return Bitmap();
        return map.texts.range(map.exact, TextBound{lo.text(), true}, TextBound{hi.text(), true},
                               universe);
    }
    if (family_span(CompositeKey128::value_part_of(lo.range_value())) !=
        family_span(CompositeKey128::value_part_of(hi.range_value())))
        return Bitmap();
    return range(map, Bound::included(lo.range_value()), Bound::included(hi.range_value()),
                 universe);
}

// A comparison on one attribute or a dotted path.
[[gnu::noinline]] Bitmap evaluate_comparison(const AttrMaps& maps, const Bitmap& universe,
                                             const QueryExpr& e) {
    using Op = QueryExpr::Op;
    // Look the path up first.
    auto [head, tail] = attr_parts(e.attr);
    if (maps.empty()) return Bitmap();
    auto found = maps.find(absl::string_view(head.data(), head.size()));
    if (found == maps.end()) return Bitmap();
    const QueryMap& map = *found->second;
    if (tail) {
        Bitmap holders = evaluate_nested_query(map, with_attr(e, *tail));
        holders.and_inplace(universe);
        return holders;
    }
    switch (e.op) {
        case Op::Eq:
        case Op::In: return evaluate_equality(map, universe, e);
        case Op::Gt:
        case Op::Ge:
        case Op::Lt:
        case Op::Le: return evaluate_ordering(map, universe, e);
        case Op::Bt: return evaluate_between(map, universe, e);
        case Op::StartsWith:
            // A prefix that is no text (it could not be encoded) starts none.
            if (!is_text(e.values[0])) return Bitmap();
            return map.texts.prefixed(map.exact, e.values[0].text(), universe);
        case Op::Contains: return evaluate_contains(map, universe, e);
        default: return Bitmap();
    }
}

// `!=`: the universe less the objects equal to the value.
[[gnu::noinline]] Bitmap evaluate_ne(const AttrMaps& maps, const Bitmap& universe,
                                     const QueryExpr& e) {
    QueryExpr eq;
    eq.op = QueryExpr::Op::Eq;
    eq.attr = e.attr;
    eq.values = e.values;
    Bitmap inner = evaluate_comparison(maps, universe, eq);
    return universe.andnot(inner);
}

}  // namespace

Bitmap evaluate_query(const AttrMaps& maps, const Bitmap& universe, const QueryExpr& e) {
    using Op = QueryExpr::Op;
    switch (e.op) {
        case Op::Not: {
            Bitmap inner = evaluate_query(maps, universe, e.exprs[0]);
            return universe.andnot(inner);
        }
        case Op::And: return evaluate_and(maps, universe, e);
        case Op::Or: {
            Bitmap acc;
            for (const QueryExpr& operand : e.exprs)
                acc.or_inplace(evaluate_query(maps, universe, operand));
            return acc;
        }
        case Op::Ne: return evaluate_ne(maps, universe, e);
        default: return evaluate_comparison(maps, universe, e);
    }
}

Bitmap reduced_query(const IndexAPI& index, const QueryExpr& expr) {
    auto maps = index.attr_maps->read();
    auto members = index.member_ids->read();
    return evaluate_query(*maps, *members, expr);
}

}  // namespace corvane
