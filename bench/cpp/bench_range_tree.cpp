// Range tree benchmark: insertion cost and range-query cost against a flat
// baseline measured in the same run.
//
// Baseline for queries: the same pairs as a sorted vector of 128-bit keys
// with a parallel id array; a query binary-searches both bounds, bulk-adds
// the id slice into a new bitmap and intersects it with the filter.
// Baseline for insertion: std::set of the same 128-bit keys.
//
// Usage: bench_range_tree [entries]   (default 1000000)
#include <roaring/roaring.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/ranged_b_tree.hpp"

using namespace corvane;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Baseline {
    std::vector<u128> keys;   // sorted
    std::vector<uint32_t> ids;  // ids[i] is the id of keys[i]

    // First index whose value part is >= vp (or > vp when strictly).
    size_t bound_index(u128 vp, bool after) const {
        const u128 probe = after ? ((vp + 1) << 32) : (vp << 32);
        return static_cast<size_t>(std::lower_bound(keys.begin(), keys.end(), probe) - keys.begin());
    }

    Bitmap query(const Bound& lower, const Bound& upper, const Bitmap& filter) const {
        const size_t a = lower.kind == BoundKind::Unbounded
                             ? 0
                             : bound_index(CompositeKey128::value_part_of(lower.value),
                                           lower.kind == BoundKind::Excluded);
        const size_t b = upper.kind == BoundKind::Unbounded
                             ? keys.size()
                             : bound_index(CompositeKey128::value_part_of(upper.value),
                                           upper.kind == BoundKind::Included);
        roaring_bitmap_t* slice = roaring_bitmap_create_with_capacity(0);
        if (b > a) roaring_bitmap_add_many(slice, b - a, ids.data() + a);
        roaring_bitmap_t* out = roaring_bitmap_and(slice, filter.raw());
        roaring_bitmap_free(slice);
        return Bitmap::adopt(out);
    }
};

struct Row {
    const char* label;
    double tree_us;
    double base_us;
    double avg_hits;
};

}  // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? static_cast<size_t>(std::strtoull(argv[1], nullptr, 10)) : 1000000;
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> dist(0.0, 1e6);

    // Ids 1..n as an object counter hands them out, each with a random value.
    std::vector<double> values(n);
    for (double& v : values) v = dist(rng);

    // -- insertion
    BitMapBTree tree;
    auto t0 = Clock::now();
    for (size_t i = 0; i < n; ++i) tree.insert(RangeValue::of_float(values[i]), static_cast<uint32_t>(i + 1));
    const double tree_insert_ns = seconds_since(t0) * 1e9 / static_cast<double>(n);

    std::set<u128> ordered;
    t0 = Clock::now();
    for (size_t i = 0; i < n; ++i)
        ordered.insert(CompositeKey128::make(RangeValue::of_float(values[i]), static_cast<uint32_t>(i + 1)).key);
    const double set_insert_ns = seconds_since(t0) * 1e9 / static_cast<double>(n);

    Baseline base;
    base.keys.assign(ordered.begin(), ordered.end());
    ordered.clear();
    base.ids.resize(n);
    for (size_t i = 0; i < n; ++i) base.ids[i] = static_cast<uint32_t>(base.keys[i]);
    std::vector<double> sorted_values = values;
    std::sort(sorted_values.begin(), sorted_values.end());

    Bitmap everyone;
    roaring_bitmap_add_range_closed(everyone.raw(), 1, static_cast<uint32_t>(n));
    Bitmap sparse;  // 1 % of the ids
    for (uint32_t id = 1; id <= n; id += 100) sparse.add(id);

    // -- range queries
    struct Case {
        const char* label;
        double fraction;
        int queries;
        const Bitmap* filter;
    };
    const Case cases[] = {
        {"0.1 %", 0.001, 2000, &everyone},
        {"1 %", 0.01, 500, &everyone},
        {"10 %", 0.10, 100, &everyone},
        {"50 %", 0.50, 30, &everyone},
        {"50 %, 1 % filter", 0.50, 30, &sparse},
    };
    std::vector<Row> rows;
    uint64_t sink = 0;
    for (const Case& c : cases) {
        const size_t width = std::max<size_t>(1, static_cast<size_t>(c.fraction * static_cast<double>(n)));
        std::vector<std::pair<Bound, Bound>> bounds;
        for (int q = 0; q < c.queries; ++q) {
            const size_t i = static_cast<size_t>(rng() % (n - width));
            bounds.emplace_back(Bound::included(RangeValue::of_float(sorted_values[i])),
                                Bound::excluded(RangeValue::of_float(sorted_values[i + width])));
        }
        // Both sides must agree before they are timed.
        for (int q = 0; q < std::min(c.queries, 5); ++q) {
            const Bitmap a = tree.query_range(bounds[q].first, bounds[q].second, *c.filter);
            const Bitmap b = base.query(bounds[q].first, bounds[q].second, *c.filter);
            if (!(a == b)) {
                std::fprintf(stderr, "mismatch in case %s\n", c.label);
                return 1;
            }
        }
        uint64_t hits = 0;
        t0 = Clock::now();
        for (const auto& [lo, hi] : bounds) hits += tree.query_range(lo, hi, *c.filter).cardinality();
        const double tree_us = seconds_since(t0) * 1e6 / c.queries;
        t0 = Clock::now();
        for (const auto& [lo, hi] : bounds) sink += base.query(lo, hi, *c.filter).cardinality();
        const double base_us = seconds_since(t0) * 1e6 / c.queries;
        sink += hits;
        rows.push_back({c.label, tree_us, base_us, static_cast<double>(hits) / c.queries});
    }

    std::printf("bench_range_tree: %zu random (value, id) pairs, tree height %zu\n\n", n, tree.height());
    std::printf("insert            tree %8.1f ns   std::set %8.1f ns   tree/set %.2f\n\n", tree_insert_ns,
                set_insert_ns, tree_insert_ns / set_insert_ns);
    std::printf("%-18s %12s %12s %12s %14s\n", "range (filter)", "avg ids", "tree us", "baseline us",
                "baseline/tree");
    for (const Row& r : rows)
        std::printf("%-18s %12.0f %12.2f %12.2f %13.2fx\n", r.label, r.avg_hits, r.tree_us, r.base_us,
                    r.base_us / r.tree_us);
    std::printf("\n(checksum %llu)\n", static_cast<unsigned long long>(sink));
    return 0;
}
