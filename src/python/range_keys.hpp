// Range keys of the ordered values that are not native ints or floats.
//
// Ints beyond 64 bits and exact `decimal.Decimal`, `fractions.Fraction`,
// `datetime.datetime`, `datetime.date`, `datetime.time` and
// `datetime.timedelta` objects take part in range comparisons in the order
// Python gives them.  Their keys are value parts of the range tree (see
// structures/ranged_b_tree.hpp), computed here once when a value is wrapped:
// * numbers share the scale of ints and floats: a value part holding the
//   number exactly (79 significant bits, the exponent of any finite double),
//   or, for a number it cannot hold, the largest such value below it with the
//   inexact flag and the number's exact value for the tree to compare;
//   beyond the doubles' exponents every number is inexact; a Decimal NaN or
//   infinity is keyed as the float one;
// * datetimes count microseconds from 0001-01-01, aware ones (an offset from
//   `utcoffset()`) after subtracting it, in a family of their own; dates
//   count days, times microseconds from midnight (naive and aware apart
//   again), timedeltas microseconds.
#pragma once

#include <Python.h>

#include "structures/exact_number.hpp"

namespace corvane {

// The range key of `obj`, or an empty handle when its type is not one of
// those above (subclasses are not: they may order themselves otherwise) or
// it has no order (a signalling NaN).  Requires the interpreter lock; an
// exception raised meanwhile (by a `utcoffset` of a user's tzinfo, say)
// propagates as `PyErrorSet`.
OrderedRef range_key(PyObject* obj);

}  // namespace corvane
