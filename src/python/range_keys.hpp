// Range keys of the ordered values that are not native ints or floats.
//
// Ints beyond 64 bits and exact `decimal.Decimal`, `fractions.Fraction`,
// `datetime.datetime`, `datetime.date`, `datetime.time` and
// `datetime.timedelta` objects take part in range comparisons in the order
// Python gives them.  Their keys are built by structures/range_key.hpp, which
// describes the encoding; this binding only reads the numbers and fields the
// keys are built from out of the objects: an int's sign and magnitude, a
// Fraction's numerator and denominator, a Decimal's `as_tuple()` (and
// `as_integer_ratio()` within the doubles' exponents), the fields of dates,
// times and timedeltas, and the `utcoffset()` of an aware datetime or time.
#pragma once

#include <Python.h>

#include "structures/exact_number.hpp"

namespace corvane {

// The range key of `obj`, or an empty handle when its type is not one of
// those above (subclasses are not: they may order themselves otherwise) or
// it has no order (a signalling NaN, a nonzero Decimal whose exponent is
// beyond 64 bits).  Requires the interpreter lock; an
// exception raised meanwhile (by a `utcoffset` of a user's tzinfo, say)
// propagates as `PyErrorSet`.
OrderedRef range_key(PyObject* obj);

}  // namespace corvane
