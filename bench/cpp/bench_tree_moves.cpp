// Moves in a range tree: each object's number changes, as an assignment
// does (its old pair leaves, its new pair enters), applied to a plain tree
// one change at a time and through the buffer that applies them in batches,
// in the same run.
//
// Usage: bench_tree_moves [entries] [moves] [batched]   (default 1000000, 500000;
// `batched` runs the buffered tree alone, for a profile)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "structures/buffered_tree.hpp"
#include "structures/ranged_b_tree.hpp"

using namespace corvane;

namespace {

using Clock = std::chrono::steady_clock;

struct Workload {
    const char* name;
    // A number drawn for an object, at first and at each move.
    RangeValue (*value)(std::mt19937_64& rng);
};

RangeValue of_few(std::mt19937_64& rng) {
    return RangeValue::of_int(static_cast<int64_t>(rng() % 1000));
}
RangeValue of_unique(std::mt19937_64& rng) {
    return RangeValue::of_float(std::uniform_real_distribution<double>(0, 1)(rng));
}

template <class Tree>
double run(Tree& tree, const std::vector<RangeValue>& start, const std::vector<uint32_t>& who,
           const std::vector<RangeValue>& next) {
    std::vector<RangeValue> held = start;
    const auto t0 = Clock::now();
    for (size_t i = 0; i < who.size(); ++i) {
        const uint32_t id = who[i];
        tree.remove(held[id], id);
        tree.insert(next[i], id);
        held[id] = next[i];
    }
    if constexpr (requires { tree.settled(); }) (void)tree.settled();
    return std::chrono::duration<double>(Clock::now() - t0).count() /
           static_cast<double>(who.size());
}

}  // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const size_t moves = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 500000;
    for (const Workload& w :
         {Workload{"int of 1,000 values", of_few}, Workload{"unique float", of_unique}}) {
        std::mt19937_64 rng(7);
        std::vector<RangeValue> start(n);
        for (auto& v : start) v = w.value(rng);
        std::vector<uint32_t> who(moves);
        std::vector<RangeValue> next(moves);
        for (size_t i = 0; i < moves; ++i) {
            who[i] = static_cast<uint32_t>(rng() % n);
            next[i] = w.value(rng);
        }
        auto fill = [&](auto& tree) {
            std::vector<CompositeKey128> pairs;
            for (uint32_t id = 0; id < n; ++id)
                pairs.push_back(CompositeKey128::make(start[id], id));
            tree.insert_many(pairs);
        };
        BitMapBTree plain;
        fill(plain);
        BufferedTree buffered;
        fill(buffered);
        const bool alone = argc > 3;
        const double one = alone ? 0 : run(plain, start, who, next);
        const double batched = run(buffered, start, who, next);
        std::printf("%-20s %zu entries: one at a time %.0f ns a move, batched %.0f ns (%.2fx)\n",
                    w.name, n, one * 1e9, batched * 1e9, one / batched);
    }
    return 0;
}
