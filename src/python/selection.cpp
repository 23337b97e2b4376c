#include "python/selection.hpp"

#include <utility>

#include "engine/evaluate.hpp"
#include "python/filtered_index.hpp"
#include "python/index.hpp"
#include "python/results.hpp"

namespace corvane {

Bitmap Selection::keywords(const HashQuery& query, py::Gil policy) const {
    return py::run_engine(policy, [&] {
        auto maps = maps_->read();
        Bitmap matched = filter_index_by_hashes(*maps, query);
        if (selected_ != nullptr) return matched.and_(*selected_);
        return matched;
    });
}

Bitmap Selection::query(QueryExpr expr, py::Gil policy) const {
    return py::run_engine(policy, [&] {
        Bitmap ids;
        {
            auto maps = maps_->read();
            if (selected_ != nullptr) {
                ids = evaluate_query(*maps, *selected_, expr);
            } else {
                auto members = (*members_)->read();
                ids = evaluate_query(*maps, *members, expr);
            }
        }
        QueryExpr doomed = std::move(expr);
        return ids;
    });
}

Selection selection_of(IndexObject* index) { return Selection(*index->api, index->store_owner); }

Selection selection_of(FilteredIndexObject* view) {
    return Selection(view->attr_maps, view->items, view->member_ids, view->store_owner);
}

PyObject* Selection::view(Bitmap ids) const {
    return new_filtered_index(maps_, items_, std::move(ids), store_owner_);
}

PyObject* Selection::objects(const Bitmap& ids) const {
    auto store = items_->read();
    return objects_for_ids(*store, ids);
}

}  // namespace corvane
