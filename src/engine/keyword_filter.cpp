#include "engine/keyword_filter.hpp"

#include <algorithm>

#include "engine/query_map.hpp"

namespace corvane {

Bitmap filter_index_by_hashes(const AttrMaps& maps, const HashQuery& query) {
    if (query.empty()) return Bitmap();
    struct Term {
        const QueryMap* map;
        const std::vector<PyValue>* values;
        uint64_t estimate;
    };
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

    Bitmap result;
    bool first = true;
    for (const Term& term : terms) {
        if (!first && result.empty()) return result;
        // The sets of the term's values that are present.
        const HybridSet* sets[2];
        size_t found = 0;
        bool many = false;
        if (term.map != nullptr) {
            for (const auto& v : *term.values) {
                auto e = term.map->exact.find(v);
                if (e == term.map->exact.end()) continue;
                if (found == 1) many = true;
                if (found < 2) sets[found] = &e->second;
                ++found;
            }
        }
        if (!first && found == 1 && sets[0]->form() == HybridSet::Form::Large) {
            // One stored bitmap: intersect with it directly, no copy.
            result.and_inplace(sets[0]->bitmap());
            continue;
        }
        Bitmap s;
        if (found == 1) {
            s = sets[0]->as_bitmap();
        } else if (many) {
            for (const auto& v : *term.values) {
                auto e = term.map->exact.find(v);
                if (e != term.map->exact.end()) e->second.or_into(s);
            }
        }
        if (first) {
            result = std::move(s);
            first = false;
        } else {
            result.and_inplace(s);
        }
    }
    return result;
}

}  // namespace corvane
