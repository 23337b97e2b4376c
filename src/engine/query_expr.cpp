#include "engine/query_expr.hpp"

namespace corvane {

namespace {
const char* op_name(QueryExpr::Op op) {
    switch (op) {
        case QueryExpr::Op::Eq: return "Eq";
        case QueryExpr::Op::Ne: return "Ne";
        case QueryExpr::Op::Gt: return "Gt";
        case QueryExpr::Op::Ge: return "Ge";
        case QueryExpr::Op::Lt: return "Lt";
        case QueryExpr::Op::Le: return "Le";
        case QueryExpr::Op::Bt: return "Bt";
        case QueryExpr::Op::In: return "In";
        case QueryExpr::Op::StartsWith: return "StartsWith";
        case QueryExpr::Op::Contains: return "Contains";
        case QueryExpr::Op::Not: return "Not";
        case QueryExpr::Op::And: return "And";
        case QueryExpr::Op::Or: return "Or";
    }
    return "?";
}
}  // namespace

std::string QueryExpr::debug() const {
    std::string out = op_name(op);
    out += "(";
    switch (op) {
        case Op::Eq:
        case Op::Ne:
        case Op::Gt:
        case Op::Ge:
        case Op::Lt:
        case Op::Le:
        case Op::StartsWith: out += debug_str(attr) + ", " + values[0].debug(); break;
        case Op::Contains: out += debug_str(attr) + ", " + values[0].debug(); break;
        case Op::Bt:
            out += debug_str(attr) + ", " + values[0].debug() + ", " + values[1].debug();
            break;
        case Op::In:
            out += debug_str(attr) + ", [";
            for (size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + values[i].debug();
            out += "]";
            break;
        case Op::Not: out += exprs[0].debug(); break;
        case Op::And:
        case Op::Or:
            out += "[";
            for (size_t i = 0; i < exprs.size(); ++i) out += (i ? ", " : "") + exprs[i].debug();
            out += "]";
            break;
    }
    out += ")";
    return out;
}

}  // namespace corvane
