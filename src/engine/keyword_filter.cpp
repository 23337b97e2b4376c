#include "engine/keyword_filter.hpp"

#include <algorithm>

#include "engine/query_map.hpp"
#include "structures/intersection.hpp"

namespace corvane {

namespace {

// One name of a keyword query: its map (null when no object has the name),
// the values it accepts, and how many ids they hold in all.
struct Term {
    const QueryMap* map;
    const std::vector<PyValue>* values;
    uint64_t estimate;
};

// The terms of `query`, the fewest ids first.
std::vector<Term> planned_terms(const AttrMaps& maps, const HashQuery& query) {
    std::vector<Term> terms;
    terms.reserve(query.size());
    for (const auto& [name, values] : query) {
        auto it = maps.find(name);
        const QueryMap* map = it == maps.end() ? nullptr : it->second.get();
        uint64_t estimate = 0;
        if (map != nullptr) {
            for (const auto& v : values) {
                auto e = map->exact.find(v);
                if (e != map->exact.end()) estimate += e->second.cardinality();
            }
        }
        terms.push_back({map, &values, estimate});
    }
    std::stable_sort(terms.begin(), terms.end(),
                     [](const Term& a, const Term& b) { return a.estimate < b.estimate; });
    return terms;
}

// The id set of a term with ids: a stored bitmap as it is, or one built
// into `built` from a small set or from the sets of several accepted values.
const Bitmap* term_ids(const Term& term, std::vector<Bitmap>& built) {
    const HybridSet* only = nullptr;
    size_t found = 0;
    for (const auto& v : *term.values) {
        auto e = term.map->exact.find(v);
        if (e == term.map->exact.end()) continue;
        if (++found == 1) only = &e->second;
    }
    if (found == 1 && only->form() == HybridSet::Form::Large) return &only->bitmap();
    Bitmap s;
    if (found == 1) {
        s = only->as_bitmap();
    } else {
        for (const auto& v : *term.values) {
            auto e = term.map->exact.find(v);
            if (e != term.map->exact.end()) e->second.or_into(s);
        }
    }
    built.push_back(std::move(s));
    return &built.back();
}

}  // namespace

Bitmap filter_index_by_hashes(const AttrMaps& maps, const HashQuery& query) {
    if (query.empty()) return Bitmap();
    if (query.size() == 1 && query[0].second.size() == 1) {
        // One name, one value, the commonest lookup: its id set, without
        // the planning below (whose vectors cost more than the lookup).
        auto it = maps.find(query[0].first);
        if (it == maps.end()) return Bitmap();
        auto e = it->second->exact.find(query[0].second[0]);
        if (e == it->second->exact.end()) return Bitmap();
        return e->second.as_bitmap();
    }
    const std::vector<Term> terms = planned_terms(maps, query);
    std::vector<Bitmap> built;
    built.reserve(terms.size());  // `parts` points into it
    std::vector<const Bitmap*> parts;
    parts.reserve(terms.size());
    for (const Term& term : terms) {
        if (term.estimate == 0) return Bitmap();
        parts.push_back(term_ids(term, built));
    }
    if (parts.size() == 1) return built.empty() ? parts[0]->copy() : std::move(built.back());
    return intersect_all(parts.data(), parts.size());
}

}  // namespace corvane
