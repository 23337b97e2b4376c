// Which calls give the interpreter lock up while the engine works.
//
// Releasing the lock lets other Python threads run during long engine work,
// but costs two lock handovers, which dominate short calls.  Each call that
// runs engine work decides here, in one place; the method bodies only say
// `run_engine(gil_policy::<call>, work)`.
#pragma once

#include <utility>

#include "python/gil.hpp"

namespace corvane::py {

enum class Gil : bool { Keep, Release };

namespace gil_policy {
// Index
inline constexpr Gil index_add_object = Gil::Release;       // entering one object
inline constexpr Gil index_add_object_many = Gil::Release;  // entering a batch
inline constexpr Gil index_get_by_attribute = Gil::Keep;    // short lookups: keep the lock
inline constexpr Gil index_reduced = Gil::Release;
inline constexpr Gil index_reduced_query = Gil::Release;
inline constexpr Gil index_union_with = Gil::Release;
inline constexpr Gil index_remove_object = Gil::Release;  // withdrawing one object or a batch
// `reduce` reads the selected objects right after narrowing.
inline constexpr Gil index_reduce = Gil::Keep;
// Ordering and counting: a top N is a short walk, a whole ordering or a
// count over many values is long work.  Both release, as `reduced` does.
inline constexpr Gil index_ordered_by = Gil::Release;
inline constexpr Gil index_value_counts = Gil::Release;
// FilteredIndex
inline constexpr Gil view_reduced = Gil::Release;
inline constexpr Gil view_ordered_by = Gil::Release;
inline constexpr Gil view_value_counts = Gil::Release;
inline constexpr Gil view_reduced_query = Gil::Keep;
// Indexable: assignment updates every index holding the object.  An
// `Indexable` value may bring many nested objects in: release.  Any other
// value moves one pair per index, shorter than giving the lock up and
// taking it back; a wait for an index lock gives it up all the same.
inline constexpr Gil assignment = Gil::Release;
inline constexpr Gil assignment_of_plain_value = Gil::Keep;
// Every other call (`collect`, `rebase`, construction, reprs) keeps the lock
// throughout: they read Python objects while they work.
}  // namespace gil_policy

// Run `work` with the interpreter lock released or kept, as `policy` says.
template <class F>
decltype(auto) run_engine(Gil policy, F&& work) {
    if (policy == Gil::Release) {
        GilRelease release;
        return std::forward<F>(work)();
    }
    return std::forward<F>(work)();
}

}  // namespace corvane::py
