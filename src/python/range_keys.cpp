#include "python/range_keys.hpp"

#include <datetime.h>

#include <cstring>
#include <memory>
#include <vector>

#include "python/ref.hpp"
#include "structures/ranged_b_tree.hpp"

namespace corvane {

namespace {

// The keys are computed in Python, where numbers of any size, Decimal
// exponents and timezone offsets are plain arithmetic.  Each function returns
// None (no order) or (head, tail, exact): the value part's upper 32 and
// lower 64 bits, and for an inexact number (negative, numerator bytes,
// denominator bytes, power of ten), the byte strings little-endian.
//
// Number value parts follow the tree's encoding of ints and doubles: sign,
// a 15-bit exponent (16383 stands for 2**0), 79 significand bits from the
// leading one, and the inexact flag as the lowest bit; negative numbers
// complement all of it.  An int within 64 bits or a double gets the very
// value part the tree gives it, so that equal numbers of any type tie.
constexpr const char* kHelpers = R"(
_MASK64 = (1 << 64) - 1
_MICRO = 10 ** 6

def _pack(negative, exponent, significand, inexact):
    raw = (exponent << 16) | (significand >> 63)
    rest = ((significand & ((1 << 63) - 1)) << 1) | inexact
    if negative:
        return ~(raw | 0x80000000) & 0xFFFFFFFF, ~rest & _MASK64
    return raw | 0x80000000, rest

def _magnitude(num, den):
    k = num.bit_length() - den.bit_length()
    if (num << -k if k < 0 else num) < (den << k if k > 0 else den):
        k -= 1
    if k > 1023:
        return 17406, (1 << 79) - 1, 1
    if k < -1074:
        return 0, 0, 1
    s = 78 - k
    q, r = divmod(num << s, den) if s >= 0 else divmod(num, den << -s)
    return 16383 + k, q, 1 if r else 0

def _bytes(n):
    return n.to_bytes((n.bit_length() + 7) // 8, "little")

def _keyed(negative, num, den, exp10, exponent, significand, inexact):
    head, tail = _pack(negative, exponent, significand, inexact)
    if not inexact:
        return head, tail, None
    if not -(1 << 63) <= exp10 < (1 << 63):
        return None
    return head, tail, (negative, _bytes(num), _bytes(den), exp10)

_ZERO = (0x80000000, 0, None)

def number_key(x, kind):
    if kind == 2:
        if not x.is_finite():
            if x.is_snan():
                return None
            return _pack(x.is_signed(), 17407, 3 << 77 if x.is_nan() else 1 << 78, 0) + (None,)
        adjusted = x.adjusted()
        if -325 < adjusted < 309:
            n, d = x.as_integer_ratio()
        elif not x:
            return _ZERO
        else:
            # Beyond every double: keyed at the end of the scale, compared
            # as coefficient and power of ten.
            sign, digits, exp10 = x.as_tuple()
            grid = (17406, (1 << 79) - 1, 1) if adjusted >= 309 else (0, 0, 1)
            return _keyed(sign == 1, int("".join(map(str, digits))), 1, exp10, *grid)
    elif kind == 1:
        n, d = x.numerator, x.denominator
    else:
        n, d = x, 1
    if not n:
        return _ZERO
    m = -n if n < 0 else n
    return _keyed(n < 0, m, d, 0, *_magnitude(m, d))

def _tagged(tag, payload):
    return (tag << 24) | (payload >> 64), payload & _MASK64, None

def _clock(t):
    return ((t.hour * 60 + t.minute) * 60 + t.second) * _MICRO + t.microsecond

def _offset(x):
    off = x.utcoffset()
    if off is None:
        return None
    return (off.days * 86400 + off.seconds) * _MICRO + off.microseconds

def datetime_key(x):
    off = _offset(x)
    at = x.toordinal() * 86400 * _MICRO + _clock(x)
    return _tagged(0xC8, at) if off is None else _tagged(0xC9, at - off + (1 << 62))

def date_key(x):
    return _tagged(0xCA, x.toordinal())

def time_key(x):
    off = _offset(x)
    return _tagged(0xCB, _clock(x)) if off is None else _tagged(0xCC, _clock(x) - off + (1 << 62))

def timedelta_key(x):
    return _tagged(0xCD, (x.days * 86400 + x.seconds) * _MICRO + x.microseconds + (1 << 80))
)";

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
         {{"datetime", Ordered::DateTime}, {"date", Ordered::Date}, {"time", Ordered::Time},
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

struct Helpers {
    PyObject* number = nullptr;
    PyObject* datetime = nullptr;
    PyObject* date = nullptr;
    PyObject* time = nullptr;
    PyObject* timedelta = nullptr;
};

// Compiled on first use and kept for the life of the process.
const Helpers& helpers() {
    static Helpers h;
    if (h.number != nullptr) return h;
    py::PyRef globals(py::new_ref, PyDict_New());
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) throw py::PyErrorSet{};
    py::PyRef done(py::new_ref, PyRun_String(kHelpers, Py_file_input, globals.get(), globals.get()));
    const auto take = [&](const char* name) {
        PyObject* f = PyDict_GetItemString(globals.get(), name);
        if (f == nullptr) throw py::PyErrorSet{};
        Py_INCREF(f);
        return f;
    };
    Helpers made;
    made.datetime = take("datetime_key");
    made.date = take("date_key");
    made.time = take("time_key");
    made.timedelta = take("timedelta_key");
    made.number = take("number_key");
    h = made;
    return h;
}

uint64_t unsigned_of(PyObject* item) {
    unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::PyErrorSet{};
    return v;
}

std::vector<uint32_t> limbs_of(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &len) < 0) throw py::PyErrorSet{};
    std::vector<uint32_t> limbs((static_cast<size_t>(len) + 3) / 4, 0);
    for (Py_ssize_t i = 0; i < len; ++i)
        limbs[static_cast<size_t>(i) / 4] |= static_cast<uint32_t>(static_cast<unsigned char>(data[i]))
                                              << (8 * (i % 4));
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    return limbs;
}

// --- dates and times without a timezone, natively -------------------------
//
// The same keys as the helpers above give, read from the objects' fields:
// dates, timedeltas, and datetimes and times whose tzinfo is None.  Those
// with a tzinfo go through the helpers, which ask it for the offset.

constexpr int64_t kMicro = 1000000;

u128 tagged(RangeFamily family, u128 payload) {
    return (static_cast<u128>(static_cast<uint32_t>(family) << 24) << 64) | payload;
}

int64_t ordinal(int64_t y, int64_t m, int64_t d) {
    static constexpr int before[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int64_t p = y - 1;
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    return p * 365 + p / 4 - p / 100 + p / 400 + before[m] + (leap && m > 2 ? 1 : 0) + d;
}

// False when the object has a tzinfo (or reading it failed, which the
// helper then reports).
bool naive(PyObject* obj) {
    PyObject* tz = PyObject_GetAttrString(obj, "tzinfo");
    if (tz == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(tz);
    return tz == Py_None;
}

bool native_key(Ordered kind, PyObject* obj, u128& out) {
    switch (kind) {
        case Ordered::Date:
            out = tagged(RangeFamily::Date, static_cast<u128>(ordinal(
                PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj))));
            return true;
        case Ordered::TimeDelta: {
            // Up to 8.64e22 microseconds either way: beyond 64 bits.
            const __int128 wide = static_cast<__int128>(PyDateTime_DELTA_GET_DAYS(obj)) * 86400 * kMicro +
                                  static_cast<__int128>(PyDateTime_DELTA_GET_SECONDS(obj)) * kMicro +
                                  PyDateTime_DELTA_GET_MICROSECONDS(obj);
            out = tagged(RangeFamily::Duration, static_cast<u128>(wide + (static_cast<__int128>(1) << 80)));
            return true;
        }
        case Ordered::DateTime: {
            if (!naive(obj)) return false;
            const int64_t day = ordinal(PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj));
            const int64_t clock = ((PyDateTime_DATE_GET_HOUR(obj) * 60 + PyDateTime_DATE_GET_MINUTE(obj)) * 60 +
                                   PyDateTime_DATE_GET_SECOND(obj)) * kMicro +
                                  PyDateTime_DATE_GET_MICROSECOND(obj);
            out = tagged(RangeFamily::NaiveDateTime, static_cast<u128>(day * 86400 * kMicro + clock));
            return true;
        }
        case Ordered::Time: {
            if (!naive(obj)) return false;
            const int64_t clock = ((PyDateTime_TIME_GET_HOUR(obj) * 60 + PyDateTime_TIME_GET_MINUTE(obj)) * 60 +
                                   PyDateTime_TIME_GET_SECOND(obj)) * kMicro +
                                  PyDateTime_TIME_GET_MICROSECOND(obj);
            out = tagged(RangeFamily::NaiveTime, static_cast<u128>(clock));
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

OrderedRef range_key(PyObject* obj) {
    const Ordered kind = classify(Py_TYPE(obj));
    if (kind == Ordered::None) return {};
    if (u128 vp = 0; native_key(kind, obj, vp)) {
        auto key = new OrderedKey();
        key->value_part = vp;
        return OrderedRef(key);
    }
    const Helpers& h = helpers();
    PyObject* result = nullptr;
    switch (kind) {
        case Ordered::Int:
        case Ordered::Fraction:
        case Ordered::Decimal: {
            const long code = kind == Ordered::Int ? 0 : kind == Ordered::Fraction ? 1 : 2;
            result = PyObject_CallFunction(h.number, "Ol", obj, code);
            break;
        }
        case Ordered::DateTime: result = PyObject_CallFunctionObjArgs(h.datetime, obj, nullptr); break;
        case Ordered::Date: result = PyObject_CallFunctionObjArgs(h.date, obj, nullptr); break;
        case Ordered::Time: result = PyObject_CallFunctionObjArgs(h.time, obj, nullptr); break;
        case Ordered::TimeDelta: result = PyObject_CallFunctionObjArgs(h.timedelta, obj, nullptr); break;
        case Ordered::None: break;
    }
    py::PyRef keyed(py::new_ref, result);
    if (keyed.get() == Py_None) return {};
    PyObject* t = keyed.get();
    auto key = std::make_unique<OrderedKey>();
    key->value_part = (static_cast<u128>(unsigned_of(PyTuple_GET_ITEM(t, 0))) << 64) |
                      unsigned_of(PyTuple_GET_ITEM(t, 1));
    PyObject* exact = PyTuple_GET_ITEM(t, 2);
    if (exact != Py_None) {
        ExactNumber& x = key->exact.emplace();
        x.negative = PyObject_IsTrue(PyTuple_GET_ITEM(exact, 0)) == 1;
        x.num = limbs_of(PyTuple_GET_ITEM(exact, 1));
        x.den = limbs_of(PyTuple_GET_ITEM(exact, 2));
        long long e = PyLong_AsLongLong(PyTuple_GET_ITEM(exact, 3));
        if (e == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
        x.exp10 = e;
    }
    return OrderedRef(key.release());
}

}  // namespace corvane
