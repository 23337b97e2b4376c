#include "engine/evaluate.hpp"

#include <absl/strings/string_view.h>

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
    return map.ranged->query_range(lower, upper, universe);
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

// Operands run in order, each within what the earlier ones left, and
// stop once nothing is left (nested `and`s read as one sequence).  The
// leading equalities on plain attributes meet the universe in one
// chunk-wise intersection.  Kept out of `evaluate_query` so that the
// frame repeated by each level of a deep expression stays small.
[[gnu::noinline]] Bitmap evaluate_and(const AttrMaps& maps, const Bitmap& universe,
                                      const QueryExpr& e) {
    using Op = QueryExpr::Op;
    std::vector<const QueryExpr*> operands;
    flatten_and(e, operands);
    std::vector<Bitmap> built;
    built.reserve(operands.size());  // `sets` points into it
    std::vector<const Bitmap*> sets{&universe};
    size_t next = 0;
    for (; next < operands.size(); ++next) {
        const QueryExpr& leaf = *operands[next];
        if (leaf.op != Op::Eq || leaf.attr.find('.') != std::string::npos) break;
        auto found = maps.find(absl::string_view(leaf.attr));
        if (found == maps.end()) return Bitmap();
        auto it = found->second->exact.find(leaf.values[0]);
        if (it == found->second->exact.end()) return Bitmap();
        if (it->second.form() == HybridSet::Form::Large) {
            sets.push_back(&it->second.bitmap());
        } else {
            built.push_back(it->second.as_bitmap());
            sets.push_back(&built.back());
        }
    }
    Bitmap acc = intersect_all(sets.data(), sets.size());
    // The first operand runs even on an empty universe (and may
    // refuse its bound there too).
    for (; next < operands.size() && (next == 0 || !acc.empty()); ++next) {
        Bitmap part = evaluate_query(maps, acc, *operands[next]);
        acc.and_inplace(part);
    }
    return acc;
}

}  // namespace

Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr) {
    Bitmap nested_ids = reduced_query(*map.nested, expr);
    Bitmap result;
    nested_ids.for_each([&](uint32_t nested_id) {
        auto it = map.holders.find(nested_id);
        if (it != map.holders.end()) it->second.or_into(result);
    });
    return result;
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
Bitmap evaluate_one_sided(const QueryMap& map, const Bitmap& universe, QueryExpr::Op op,
                          RangeValue rv) {
    using Op = QueryExpr::Op;
    auto [low, high] = family_span(CompositeKey128::value_part_of(rv));
    const BitMapBTree& tree = *map.ranged;
    Bound first = tree.lowest_value_part() >= low ? Bound::unbounded()
                                                  : Bound::included(RangeValue::of_encoded(low));
    Bound last = tree.highest_value_part() <= high ? Bound::unbounded()
                                                   : Bound::included(RangeValue::of_encoded(high));
    switch (op) {
        case Op::Gt: return range(map, Bound::excluded(rv), last, universe);
        case Op::Ge: return range(map, Bound::included(rv), last, universe);
        case Op::Lt: return range(map, first, Bound::excluded(rv), universe);
        default: return range(map, first, Bound::included(rv), universe);
    }
}

// A one-sided range comparison with the value of `e`: values without a range
// key select nothing; an `Indexable` one is not supported.
Bitmap evaluate_ordering(const QueryMap& map, const Bitmap& universe, const QueryExpr& e) {
    const PyValue& v = e.values[0];
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
    if (!lo.is_numeric() || !hi.is_numeric()) not_implemented();
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
