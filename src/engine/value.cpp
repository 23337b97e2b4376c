#include "engine/value.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <new>

namespace corvane {

namespace {

// Exact numeric equality of an integer and a double.
bool int_equals_float(int64_t i, double d) noexcept {
    if (!std::isfinite(d)) return false;
    // 2^63 is exactly representable; every double in [-2^63, 2^63) converts.
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    if (std::trunc(d) != d) return false;
    return static_cast<int64_t>(d) == i;
}

// Numeric equality of two number keys.
bool numbers_equal(const PyValue& a, const PyValue& b) noexcept {
    if (a.key_kind() == KeyKind::Int && b.key_kind() == KeyKind::Int)
        return a.as_int() == b.as_int();
    if (a.key_kind() == KeyKind::Float && b.key_kind() == KeyKind::Float) {
        double x = a.as_float(), y = b.as_float();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    if (a.key_kind() == KeyKind::Int) return int_equals_float(a.as_int(), b.as_float());
    return int_equals_float(b.as_int(), a.as_float());
}

bool is_number_key(KeyKind k) noexcept { return k == KeyKind::Int || k == KeyKind::Float; }

}  // namespace

PyValue::PyValue(const PyValue& o) noexcept
    : obj_(o.obj_), cls_(o.cls_), num_(o.num_), str_(o.str_), len_(o.len_), kind_(o.kind_),
      key_(o.key_), hash_(o.hash_) {
    if (kind_ == CastValue::Ordered) OrderedRef::share(ord_).release();
}

PyValue::PyValue(PyValue&& o) noexcept
    : obj_(std::move(o.obj_)), cls_(std::move(o.cls_)), num_(o.num_), str_(o.str_), len_(o.len_),
      kind_(o.kind_), key_(o.key_), hash_(o.hash_) {
    // The moved-from value gives its count up with its range key.
    if (o.kind_ == CastValue::Ordered) {
        o.kind_ = CastValue::Unknown;
        o.str_ = nullptr;
    }
}

PyValue& PyValue::operator=(const PyValue& o) noexcept {
    if (this != &o) *this = PyValue(o);
    return *this;
}

PyValue& PyValue::operator=(PyValue&& o) noexcept {
    if (this == &o) return *this;
    this->~PyValue();
    new (this) PyValue(std::move(o));
    return *this;
}

PyValue::~PyValue() {
    if (kind_ == CastValue::Ordered) OrderedRef(const_cast<OrderedKey*>(ord_)).reset();
}

PyValue PyValue::with_range_key(OrderedRef key) && noexcept {
    PyValue v(std::move(*this));
    v.kind_ = CastValue::Ordered;
    v.ord_ = key.release();
    return v;
}

PyValue PyValue::int_keyed(SharedRef obj, CastValue cast, int64_t i, uint64_t hash) noexcept {
    PyValue v(std::move(obj), cast, KeyKind::Int, hash);
    v.num_.i = i;
    return v;
}

PyValue PyValue::float_keyed(SharedRef obj, CastValue cast, double f, uint64_t hash) noexcept {
    PyValue v(std::move(obj), cast, KeyKind::Float, hash);
    v.num_.f = f;
    return v;
}

PyValue PyValue::text_keyed(SharedRef obj, CastValue cast, std::string_view text,
                            uint64_t hash) noexcept {
    PyValue v(std::move(obj), cast, KeyKind::Text, hash);
    v.str_ = text.data();
    v.len_ = static_cast<uint32_t>(text.size());
    return v;
}

PyValue PyValue::of_indexable(SharedRef obj, uint32_t id, uint64_t hash, ClassRef cls) noexcept {
    KeyKind key = cls.get() ? KeyKind::Class : KeyKind::Identity;
    PyValue v(std::move(obj), CastValue::Ind, key, hash);
    v.num_.i = id;
    v.cls_ = std::move(cls);
    return v;
}

PyValue PyValue::of_other(SharedRef obj, uint64_t hash, ClassRef cls) noexcept {
    KeyKind key = cls.get() ? KeyKind::Class : KeyKind::Identity;
    PyValue v(std::move(obj), CastValue::Unknown, key, hash);
    v.cls_ = std::move(cls);
    return v;
}

PyValue PyValue::with_element_carrier(ClassRef carrier) && noexcept {
    PyValue v(std::move(*this));
    v.cls_ = std::move(carrier);
    return v;
}

bool PyValue::same_key(const PyValue& o) const noexcept {
    if (hash_ != o.hash_) return false;
    switch (key_) {
        case KeyKind::Int:
        case KeyKind::Float: return is_number_key(o.key_) && numbers_equal(*this, o);
        case KeyKind::Text:
            // A key looked up by its own text (as the text order does) is
            // found without reading the text again.
            return o.key_ == KeyKind::Text &&
                   ((str_ == o.str_ && len_ == o.len_) || text() == o.text());
        case KeyKind::Identity: return o.key_ == KeyKind::Identity && object() == o.object();
        case KeyKind::Class: return o.key_ == KeyKind::Class && cls_.get() == o.cls_.get();
    }
    return false;
}

std::string debug_float(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
    // Shortest round-trip digits, in scientific form, then laid out.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    bool negative = sci[0] == '-';
    std::string body = negative ? sci.substr(1) : sci;
    size_t e = body.find('e');
    std::string mant = body.substr(0, e);
    int exp = std::stoi(body.substr(e + 1));
    std::string digits;
    for (char c : mant)
        if (c != '.') digits += c;
    double mag = std::fabs(d);
    std::string out = negative ? "-" : "";
    if (mag < 1e-4 || mag >= 1e16) {
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        out += "e" + std::to_string(exp);
        return out;
    }
    if (exp >= 0) {
        size_t int_len = static_cast<size_t>(exp) + 1;
        if (digits.size() <= int_len) {
            out += digits + std::string(int_len - digits.size(), '0') + ".0";
        } else {
            out += digits.substr(0, int_len) + "." + digits.substr(int_len);
        }
    } else {
        out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    }
    return out;
}

std::string debug_str(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "\\u{%x}", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += "\"";
    return out;
}

namespace {
std::string debug_ptr(PyObject* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Py(%p)", static_cast<void*>(p));
    return buf;
}
}  // namespace

std::string PyValue::debug() const {
    std::string cast;
    switch (kind_) {
        case CastValue::Int: cast = "Int(" + std::to_string(num_.i) + ")"; break;
        case CastValue::Float: cast = "Float(" + debug_float(num_.f) + ")"; break;
        case CastValue::Str: cast = "Str(" + debug_str(text()) + ")"; break;
        case CastValue::Ind: cast = "Ind(" + debug_ptr(object()) + ")"; break;
        case CastValue::Unknown:
        case CastValue::Ordered: cast = "Unknown"; break;
    }
    return "PyValue { obj: " + debug_ptr(object()) + ", primitave: " + cast +
           ", hash: " + std::to_string(hash_) + " }";
}

}  // namespace corvane
