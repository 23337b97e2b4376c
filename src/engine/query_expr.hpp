// Query expression trees: comparisons on (possibly dotted) attribute paths,
// combined with and / or / not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/value.hpp"

namespace corvane {

struct QueryExpr {
    enum class Op : uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, StartsWith, Contains, Not, And, Or };
    Op op = Op::And;
    std::string attr;  // comparisons
    // Eq..Le, StartsWith, Contains: one; Bt: lower, upper; In: any number
    std::vector<PyValue> values;
    std::vector<QueryExpr> exprs;  // Not: one; And, Or: any number

    // The debug rendering: `Eq("age", PyValue { ... })`, `And([...])`, ...
    std::string debug() const;
};

}  // namespace corvane
