#include "python/range_keys.hpp"

#include <datetime.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "python/ref.hpp"
#include "structures/range_key.hpp"

namespace corvane {

namespace {

enum class Ordered { None, Int, Fraction, Decimal, DateTime, Date, Time, TimeDelta };

struct KnownType {
    const char* name;
    Ordered kind;
    PyObject* type = nullptr;  // a strong reference once found
};

struct KnownModule {
    const char* name;
    std::vector<KnownType> types;
    PyObject* key = nullptr;  // the interned name, made on first use
    bool found = false;
};

// The types are looked up in `sys.modules`: a value of one of them can only
// exist once its module has been imported, so nothing is imported here, and
// a module is looked for until it turns up.  Everything found is kept for
// the life of the process.
std::vector<KnownModule>& known_modules() {
    static std::vector<KnownModule> modules = {
        {"decimal", {{"Decimal", Ordered::Decimal}}},
        {"fractions", {{"Fraction", Ordered::Fraction}}},
        {"datetime",
         {{"datetime", Ordered::DateTime},
          {"date", Ordered::Date},
          {"time", Ordered::Time},
          {"timedelta", Ordered::TimeDelta}}},
    };
    return modules;
}

void look_for(KnownModule& m, PyObject* modules) {
    if (m.key == nullptr) {
        m.key = PyUnicode_InternFromString(m.name);
        if (m.key == nullptr) {
            PyErr_Clear();
            return;
        }
    }
    PyObject* module = PyDict_GetItemWithError(modules, m.key);  // borrowed
    if (module == nullptr) {
        PyErr_Clear();
        return;
    }
    m.found = true;
    for (KnownType& t : m.types) {
        PyObject* found = PyObject_GetAttrString(module, t.name);
        if (found == nullptr) {
            PyErr_Clear();
        } else if (!PyType_Check(found)) {
            Py_DECREF(found);
        } else {
            t.type = found;
        }
    }
}

Ordered classify(PyTypeObject* type) {
    if (type == &PyLong_Type) return Ordered::Int;
    PyObject* t = reinterpret_cast<PyObject*>(type);
    PyObject* modules = nullptr;
    for (KnownModule& m : known_modules()) {
        if (!m.found) {
            if (modules == nullptr) modules = PyImport_GetModuleDict();
            if (modules == nullptr) {
                PyErr_Clear();
                return Ordered::None;
            }
            look_for(m, modules);
        }
        for (const KnownType& k : m.types)
            if (k.type == t) return k.kind;
    }
    return Ordered::None;
}

// --- numbers ---------------------------------------------------------------

// The magnitude of the int `obj` as limbs, and its sign.
Limbs magnitude_of(PyObject* obj, bool& negative) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (x == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (overflow == 0) {
        negative = x < 0;
        return limbs_of(negative ? uint64_t{0} - static_cast<uint64_t>(x)
                                 : static_cast<uint64_t>(x));
    }
    negative = overflow < 0;
    py::PyRef magnitude(py::new_ref, PyNumber_Absolute(obj));
    py::PyRef bits(py::new_ref, PyObject_CallMethod(magnitude.get(), "bit_length", nullptr));
    const Py_ssize_t bit_count = PyLong_AsSsize_t(bits.get());
    if (bit_count == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    py::PyRef bytes(py::new_ref, PyObject_CallMethod(magnitude.get(), "to_bytes", "ns",
                                                     (bit_count + 7) / 8, "little"));
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &length) < 0) throw py::PyErrorSet{};
    return limbs_of_bytes(reinterpret_cast<const unsigned char*>(data),
                          static_cast<size_t>(length));
}

// The key of num / den, two ints read from `obj`'s attributes or its tuple.
OrderedRef ratio_key_of(PyObject* num, PyObject* den) {
    bool negative = false;
    bool den_negative = false;
    Limbs n = magnitude_of(num, negative);
    Limbs d = magnitude_of(den, den_negative);
    return ratio_key(negative, std::move(n), std::move(d));
}

OrderedRef int_key(PyObject* obj) {
    bool negative = false;
    Limbs m = magnitude_of(obj, negative);
    return ratio_key(negative, std::move(m), Limbs{1});
}

OrderedRef fraction_key(PyObject* obj) {
    py::PyRef num(py::new_ref, PyObject_GetAttrString(obj, "numerator"));
    py::PyRef den(py::new_ref, PyObject_GetAttrString(obj, "denominator"));
    return ratio_key_of(num.get(), den.get());
}

std::vector<uint8_t> digits_of(PyObject* tuple) {
    py::PyRef seq(py::new_ref, PySequence_Fast(tuple, "Decimal digits must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<uint8_t> digits(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long d = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (d == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
        digits[static_cast<size_t>(i)] = static_cast<uint8_t>(d);
    }
    return digits;
}

bool predicate(PyObject* obj, const char* method) {
    py::PyRef result(py::new_ref, PyObject_CallMethod(obj, method, nullptr));
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) throw py::PyErrorSet{};
    return truth == 1;
}

// A Decimal beyond the doubles' exponents, read from `as_tuple()`: sign,
// digits and exponent.
OrderedRef far_decimal_key_of(PyObject* obj) {
    py::PyRef parts(py::new_ref, PyObject_CallMethod(obj, "as_tuple", nullptr));
    PyObject* sign = nullptr;
    PyObject* digit_tuple = nullptr;
    PyObject* exponent = nullptr;
    if (!PyArg_UnpackTuple(parts.get(), "as_tuple", 3, 3, &sign, &digit_tuple, &exponent))
        throw py::PyErrorSet{};
    const int negative = PyObject_IsTrue(sign);
    if (negative < 0) throw py::PyErrorSet{};
    const std::vector<uint8_t> digits = digits_of(digit_tuple);
    int overflow = 0;
    const long long exp10 = PyLong_AsLongLongAndOverflow(exponent, &overflow);
    if (exp10 == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (overflow != 0) {
        // Beyond what an exact value can hold: only zero keeps an order.
        const bool zero =
            std::all_of(digits.begin(), digits.end(), [](uint8_t d) { return d == 0; });
        return zero ? key_of(int_value_part(0)) : OrderedRef{};
    }
    return far_decimal_key(negative == 1, digits.data(), digits.size(), exp10);
}

// An infinity or NaN is keyed as the float one (a signalling NaN has no
// order); a finite Decimal within the doubles' exponents by its
// `as_integer_ratio()`.
OrderedRef decimal_key(PyObject* obj) {
    if (!predicate(obj, "is_finite")) {
        if (predicate(obj, "is_snan")) return {};
        return key_of(
            decimal_special_value_part(predicate(obj, "is_signed"), predicate(obj, "is_nan")));
    }
    py::PyRef adjusted(py::new_ref, PyObject_CallMethod(obj, "adjusted", nullptr));
    int overflow = 0;
    const long long exponent = PyLong_AsLongLongAndOverflow(adjusted.get(), &overflow);
    if (exponent == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (overflow != 0 || !decimal_within_doubles(exponent)) return far_decimal_key_of(obj);
    py::PyRef ratio(py::new_ref, PyObject_CallMethod(obj, "as_integer_ratio", nullptr));
    PyObject* num = nullptr;
    PyObject* den = nullptr;
    if (!PyArg_UnpackTuple(ratio.get(), "as_integer_ratio", 2, 2, &num, &den))
        throw py::PyErrorSet{};
    return ratio_key_of(num, den);
}

// --- dates and times -------------------------------------------------------
//
// Read from the objects' fields; an aware one's offset from its
// `utcoffset()`.

CivilDate date_of(PyObject* obj) {
    return {PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj)};
}

ClockTime clock_of_datetime(PyObject* obj) {
    return {PyDateTime_DATE_GET_HOUR(obj), PyDateTime_DATE_GET_MINUTE(obj),
            PyDateTime_DATE_GET_SECOND(obj), PyDateTime_DATE_GET_MICROSECOND(obj)};
}

ClockTime clock_of_time(PyObject* obj) {
    return {PyDateTime_TIME_GET_HOUR(obj), PyDateTime_TIME_GET_MINUTE(obj),
            PyDateTime_TIME_GET_SECOND(obj), PyDateTime_TIME_GET_MICROSECOND(obj)};
}

Span span_of(PyObject* delta) {
    return {PyDateTime_DELTA_GET_DAYS(delta), PyDateTime_DELTA_GET_SECONDS(delta),
            PyDateTime_DELTA_GET_MICROSECONDS(delta)};
}

int64_t int_attribute(PyObject* obj, const char* name) {
    py::PyRef value(py::new_ref, PyObject_GetAttrString(obj, name));
    const long long v = PyLong_AsLongLong(value.get());
    if (v == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    return v;
}

// The offset from UTC of a datetime or time, none when it is naive (no
// tzinfo, or one whose `utcoffset` gives None).
std::optional<Span> utc_offset(PyObject* obj) {
    py::PyRef tz(py::new_ref, PyObject_GetAttrString(obj, "tzinfo"));
    if (tz.get() == Py_None) return std::nullopt;
    py::PyRef offset(py::new_ref, PyObject_CallMethod(obj, "utcoffset", nullptr));
    if (offset.get() == Py_None) return std::nullopt;
    return Span{int_attribute(offset.get(), "days"), int_attribute(offset.get(), "seconds"),
                int_attribute(offset.get(), "microseconds")};
}

}  // namespace

OrderedRef range_key(PyObject* obj) {
    switch (classify(Py_TYPE(obj))) {
        case Ordered::Int: return int_key(obj);
        case Ordered::Fraction: return fraction_key(obj);
        case Ordered::Decimal: return decimal_key(obj);
        case Ordered::DateTime:
            return key_of(
                datetime_value_part(date_of(obj), clock_of_datetime(obj), utc_offset(obj)));
        case Ordered::Date: return key_of(date_value_part(date_of(obj)));
        case Ordered::Time: return key_of(time_value_part(clock_of_time(obj), utc_offset(obj)));
        case Ordered::TimeDelta: return key_of(duration_value_part(span_of(obj)));
        case Ordered::None: break;
    }
    return {};
}

}  // namespace corvane
