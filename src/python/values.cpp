#include "python/values.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/numeric_hash.hpp"
#include "python/gil.hpp"
#include "python/indexable.hpp"
#include "python/range_keys.hpp"
#include "python/ref.hpp"

namespace corvane {

namespace {

// --- equality classes ----------------------------------------------------
//
// Hashable values that the engine cannot compare natively (big ints, tuples,
// objects with their own `__eq__`) are keyed by an equality class: when such
// a value is wrapped, it is compared with `==` against one founding value of
// every live class with the same hash, and joins the first class it equals,
// or founds a new one.  Classes live as long as some wrapped value holds
// them: the registry below only points at them, and the last handle's drop
// (on any thread, see `ClassRef`) takes the class out and releases its
// founding value.  A class shares the founding value's own handle, so the
// one reference that handle holds is still the one the holder of the value
// reports to the cycle collector: a value referring back to its holder
// (`o.x = (o,)`) stays collectable.  A class founded by an element of a
// tuple or frozenset shares the handle of that container instead, which
// keeps the element alive: element keys take no reference of their own.
//
// Lookups run with the interpreter lock, since they call `==`; drops may run
// without it.  So the registry has a mutex of its own, held only for short
// native work: never across a Python call, and never while waiting for
// anything else.

struct PyClass : EqualityClass {
    PyObject* founder = nullptr;  // the value that founded the class
    SharedRef keeper;             // the handle keeping `founder` alive
    Py_hash_t hash = 0;
    // False for the carrier of the element keys of an unhashable tuple,
    // which no other value can join.
    bool registered = true;
};

struct Registry {
    std::mutex mutex;
    absl::flat_hash_map<Py_hash_t, absl::InlinedVector<PyClass*, 1>> by_hash;
};

// Never destroyed: values may still drop classes while the process exits.
Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

// Take one more handle on `c` unless its last one is already gone (then it
// is on its way out of the registry and must not come back).
bool try_acquire(EqualityClass* c) noexcept {
    uint32_t n = c->count.load(std::memory_order_relaxed);
    while (n != 0) {
        if (c->count.compare_exchange_weak(n, n + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return true;
    }
    return false;
}

void drop_class(EqualityClass* cls) noexcept {
    auto* c = static_cast<PyClass*>(cls);
    if (c->registered) {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.by_hash.find(c->hash);
        if (it != r.by_hash.end()) {
            auto& list = it->second;
            list.erase(std::remove(list.begin(), list.end(), c), list.end());
            if (list.empty()) r.by_hash.erase(it);
        }
    }
    // The element keys may hold classes of their own (dropped the same way)
    // and texts; the founder's reference goes last, since the keys borrow
    // from it.
    delete c->elements.load(std::memory_order_acquire);
    c->keeper.reset();  // released at once, or parked without the interpreter lock
    delete c;
}

// The equality class of the hashable value `obj`, kept alive by `keeper`
// (its own handle, or that of the container it is an element of).  An
// exception raised by `==` propagates (as it would from a dict lookup), and
// nothing is recorded.
ClassRef equality_class(PyObject* obj, const SharedRef& keeper, Py_hash_t hash) {
    Registry& r = registry();
    for (;;) {
        absl::InlinedVector<ClassRef, 2> candidates;
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            auto it = r.by_hash.find(hash);
            if (it != r.by_hash.end()) {
                for (PyClass* c : it->second)
                    if (try_acquire(c)) candidates.emplace_back(adopt, c);
            }
        }
        for (ClassRef& c : candidates) {
            // The founding value is on the left, as a dict compares its
            // stored key with the key looked up.
            PyObject* founder = static_cast<PyClass*>(c.get())->founder;
            int eq = PyObject_RichCompareBool(founder, obj, Py_EQ);
            if (eq < 0) throw py::PyErrorSet{};
            if (eq == 1) return std::move(c);
        }
        auto fresh = std::make_unique<PyClass>();
        fresh->founder = obj;
        fresh->keeper = keeper;
        fresh->hash = hash;
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            auto& list = r.by_hash[hash];
            // `==` may have let other threads run (or run code that wrapped
            // values itself): a class founded meanwhile with this hash must
            // be compared too before founding another.
            bool unseen = std::any_of(list.begin(), list.end(), [&](PyClass* c) {
                return c->count.load(std::memory_order_relaxed) != 0 &&
                       std::none_of(candidates.begin(), candidates.end(),
                                    [&](const ClassRef& k) { return k.get() == c; });
            });
            if (!unseen) {
                list.push_back(fresh.get());
                return ClassRef(adopt, fresh.release());
            }
        }
    }
}

// --- natives under other types ----------------------------------------------

#ifdef PYPY_VERSION
// PyPy's C-API layer does not fill the comparison and hash slots of the types
// it shows, so there the methods are compared by name instead.
bool same_method(PyTypeObject* type, PyTypeObject* base, const char* name) {
    py::PyRef mine(py::new_ref, PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    py::PyRef theirs(py::new_ref, PyObject_GetAttrString(reinterpret_cast<PyObject*>(base), name));
    return mine.get() == theirs.get();
}
#endif

// True when objects of `type` keep object's own `==`, which is identity.
bool identity_equality(PyTypeObject* type) {
#ifdef PYPY_VERSION
    return same_method(type, &PyBaseObject_Type, "__eq__");
#else
    return type->tp_richcompare == PyBaseObject_Type.tp_richcompare;
#endif
}

// True when `type` keeps the equality and hash of the native `base`.
bool native_equality(PyTypeObject* type, PyTypeObject* base) {
#ifdef PYPY_VERSION
    return same_method(type, base, "__eq__") && same_method(type, base, "__hash__");
#else
    return type->tp_richcompare == base->tp_richcompare && type->tp_hash == base->tp_hash;
#endif
}

// Whether `obj` is one key with the native value `native` (a new reference,
// or null when a conversion failed): equal hashes and `==`.  A conversion
// refused with TypeError, ValueError or OverflowError only means "no";
// any other exception propagates.
bool equals_native(PyObject* obj, Py_hash_t hash, PyObject* native) {
    py::PyRef owned(py::steal, native);
    if (native == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
            PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return false;
        }
        throw py::PyErrorSet{};
    }
    Py_hash_t native_hash = PyObject_Hash(native);
    if (native_hash == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (native_hash != hash) return false;
    int eq = PyObject_RichCompareBool(native, obj, Py_EQ);
    if (eq < 0) throw py::PyErrorSet{};
    return eq == 1;
}

// The double holding the int `obj` exactly, if there is one.
bool exact_double(PyObject* obj, double& out) {
    double d = PyLong_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::PyErrorSet{};
        PyErr_Clear();
        return false;
    }
    py::PyRef f(py::new_ref, PyFloat_FromDouble(d));
    int eq = PyObject_RichCompareBool(obj, f.get(), Py_EQ);  // exact for int and float
    if (eq < 0) throw py::PyErrorSet{};
    out = d;
    return eq == 1;
}

// The key of an int object (any int type) whose value does not fit 64 bits
// and that equals that value: a double holding it exactly, else its class.
// `handle` is taken only once the class is found: `keeper` may be that very
// handle, which the class keeps to hold its founder alive.
PyValue big_int_value(PyObject* obj, SharedRef& handle, const SharedRef& keeper, Py_hash_t hash) {
    uint64_t h = static_cast<uint64_t>(hash);
    double d = 0;
    if (exact_double(obj, d))
        return PyValue::float_keyed(std::move(handle), CastValue::Unknown, d, h);
    ClassRef cls = equality_class(obj, keeper, hash);
    return PyValue::of_other(std::move(handle), h, std::move(cls));
}

// The native key of an int of any int type, when it is one key with the
// native int (or, beyond 64 bits, keeps the native equality).
bool int_native_key(PyObject* obj, SharedRef& handle, const SharedRef& keeper, Py_hash_t hash,
                    PyValue& out) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (x == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (overflow != 0) {
        if (!native_equality(Py_TYPE(obj), &PyLong_Type)) return false;
        out = big_int_value(obj, handle, keeper, hash);
        return true;
    }
    if (!native_equality(Py_TYPE(obj), &PyLong_Type) &&
        !equals_native(obj, hash, PyLong_FromLongLong(x)))
        return false;
    out = PyValue::int_keyed(std::move(handle), CastValue::Unknown, x, static_cast<uint64_t>(hash));
    return true;
}

bool float_native_key(PyObject* obj, SharedRef& handle, Py_hash_t hash, PyValue& out) {
    double d = PyFloat_AS_DOUBLE(obj);
    if (!native_equality(Py_TYPE(obj), &PyFloat_Type) &&
        !equals_native(obj, hash, PyFloat_FromDouble(d)))
        return false;
    out =
        PyValue::float_keyed(std::move(handle), CastValue::Unknown, d, static_cast<uint64_t>(hash));
    return true;
}

bool str_native_key(PyObject* obj, SharedRef& handle, Py_hash_t hash, PyValue& out) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
    if (s == nullptr) {
        PyErr_Clear();  // not encodable: no native text equals it
        return false;
    }
    if (len > static_cast<Py_ssize_t>(UINT32_MAX)) return false;
    if (!native_equality(Py_TYPE(obj), &PyUnicode_Type) &&
        !equals_native(obj, hash, PyUnicode_FromStringAndSize(s, len)))
        return false;
    out = PyValue::text_keyed(std::move(handle), CastValue::Unknown,
                              std::string_view(s, static_cast<size_t>(len)),
                              static_cast<uint64_t>(hash));
    return true;
}

bool complex_native_key(PyObject* obj, SharedRef& handle, Py_hash_t hash, PyValue& out) {
    Py_complex c = PyComplex_AsCComplex(obj);
    if (c.real == -1.0 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (c.imag != 0.0 || !equals_native(obj, hash, PyFloat_FromDouble(c.real))) return false;
    out = PyValue::float_keyed(std::move(handle), CastValue::Unknown, c.real,
                               static_cast<uint64_t>(hash));
    return true;
}

// A type with `__index__`: the key of the int it gives, when that is an
// exact int within 64 bits (or a double holds it) and equals the value.
bool index_native_key(PyObject* obj, SharedRef& handle, Py_hash_t hash, PyValue& out) {
    const uint64_t h = static_cast<uint64_t>(hash);
    PyObject* i = PyNumber_Index(obj);
    if (i != nullptr && !PyLong_CheckExact(i)) {
        Py_DECREF(i);  // an int subclass from __index__: not a native value
        return false;
    }
    py::PyRef keep(py::borrow, i);  // `equals_native` takes its own
    if (!equals_native(obj, hash, i)) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(keep.get(), &overflow);
    if (overflow == 0) {
        out = PyValue::int_keyed(std::move(handle), CastValue::Unknown, x, h);
        return true;
    }
    double d = 0;
    if (exact_double(keep.get(), d)) {
        out = PyValue::float_keyed(std::move(handle), CastValue::Unknown, d, h);
        return true;
    }
    return false;  // a big int: the class registry compares with it as it is
}

// A type converting to float or int: the key of what it converts to, when
// that equals the value.  An int the float conversion cannot tell from its
// neighbours (beyond 2**53) is looked for through the int conversion; below
// that, a number equal to an int equals its float too.  Skipping the int
// conversion otherwise also spares converting huge values
// (Decimal("1e999999")).
bool converted_native_key(PyObject* obj, SharedRef& handle, Py_hash_t hash, PyValue& out) {
    const uint64_t h = static_cast<uint64_t>(hash);
    const PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    bool try_int = nb->nb_int != nullptr;
    if (nb->nb_float != nullptr) {
        PyObject* f = PyNumber_Float(obj);
        double d = f != nullptr && PyFloat_Check(f) ? PyFloat_AS_DOUBLE(f) : 0.0;
        if (equals_native(obj, hash, f)) {
            out = PyValue::float_keyed(std::move(handle), CastValue::Unknown, d, h);
            return true;
        }
        double mag = std::fabs(d);
        try_int = try_int && mag >= 9007199254740992.0 && mag <= 9223372036854775808.0;
    }
    if (!try_int) return false;
    PyObject* i = PyNumber_Long(obj);
    int overflow = 0;
    long long x = 0;
    if (i != nullptr) {
        x = PyLong_AsLongLongAndOverflow(i, &overflow);
        if (overflow != 0 || !PyLong_CheckExact(i)) {
            Py_DECREF(i);
            return false;
        }
    }
    if (!equals_native(obj, hash, i)) return false;
    out = PyValue::int_keyed(std::move(handle), CastValue::Unknown, x, h);
    return true;
}

// A number or str of another type that is one key with a native value
// (True and 1, an IntEnum member and its int, a str subclass and its text,
// Decimal(1) and 1, Fraction(1, 2) and 0.5, complex(2, 0) and 2.0) gets
// that native key; `out` is left alone otherwise.
bool native_key(PyObject* obj, SharedRef& handle, const SharedRef& keeper, Py_hash_t hash,
                PyValue& out) {
    if (PyLong_Check(obj)) return int_native_key(obj, handle, keeper, hash, out);
    if (PyFloat_Check(obj)) return float_native_key(obj, handle, hash, out);
    if (PyUnicode_Check(obj)) return str_native_key(obj, handle, hash, out);
    if (PyComplex_Check(obj)) return complex_native_key(obj, handle, hash, out);
    // Other types converting to numbers: compare with what they convert to.
    const PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr) return false;
    if (nb->nb_index != nullptr) return index_native_key(obj, handle, hash, out);
    return converted_native_key(obj, handle, hash, out);
}

}  // namespace

void install_value_hooks() noexcept { interpreter_hooks.drop_class = drop_class; }

namespace {

// The interpreter's hash of the exact int `obj`, whose value is `x`, and of
// the exact float `obj`, whose value is `x`: computed natively where the
// interpreter's numeric hash has the parameters `int_hash` and
// `double_hash` follow (every 64-bit build).
#if defined(_PyHASH_BITS) && defined(_PyHASH_INF)
constexpr bool kNativeNumericHash =
    sizeof(Py_hash_t) == 8 && _PyHASH_BITS == kNumericHashBits && _PyHASH_INF == kInfinityHash;
#else
constexpr bool kNativeNumericHash = false;
#endif

uint64_t exact_int_hash(PyObject* obj, int64_t x) {
    if constexpr (kNativeNumericHash) return static_cast<uint64_t>(int_hash(x));
    return static_cast<uint64_t>(PyObject_Hash(obj));
}

uint64_t exact_float_hash(PyObject* obj, double x) {
    if constexpr (kNativeNumericHash) {
        if (std::optional<int64_t> h = double_hash(x)) return static_cast<uint64_t>(*h);
    }
    return static_cast<uint64_t>(PyObject_Hash(obj));  // NaN, which cannot fail
}

// The hash of the exact str `obj`.  CPython keeps a str's hash in the
// object once computed (-1 until then); PyPy's C-API layer does not.
uint64_t exact_str_hash(PyObject* obj) {
#ifndef PYPY_VERSION
    const Py_hash_t kept = reinterpret_cast<PyASCIIObject*>(obj)->hash;
    if (kept != -1) return static_cast<uint64_t>(kept);
#endif
    return static_cast<uint64_t>(PyObject_Hash(obj));
}

// Wrap `obj`: a value of its own (`container` null), or an element of the
// container whose handle is `container`, which keeps it alive.  An element
// key takes a reference only to a text it is compared by (an exact str, of
// its own, which no reference cycle can pass through); an unhashable element
// has no key (false), and no element gets a range key.
// Exact ints within 64 bits, floats and strs: native keys straight away.
// False for any other value (a big int, a str with lone surrogates).
bool wrap_native(PyObject* obj, bool element, PyValue& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyLong_Type) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && !(x == -1 && PyErr_Occurred())) {
            out = PyValue::of_int(element ? SharedRef::unowned(obj) : py::share(obj), x,
                                  exact_int_hash(obj, x));
            return true;
        }
        PyErr_Clear();
    } else if (type == &PyFloat_Type) {
        const double x = PyFloat_AS_DOUBLE(obj);
        out = PyValue::of_float(element ? SharedRef::unowned(obj) : py::share(obj), x,
                                exact_float_hash(obj, x));
        return true;
    } else if (type == &PyUnicode_Type) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
        if (s != nullptr && len <= static_cast<Py_ssize_t>(UINT32_MAX)) {
            out = PyValue::of_str(py::share(obj), std::string_view(s, static_cast<size_t>(len)),
                                  exact_str_hash(obj));
            return true;
        }
        PyErr_Clear();  // lone surrogates: compared by `==`
    }
    return false;
}

// The key of text `text` (hash `h`) held by an exact str of its own: the
// key of an element that is a str of another type, which may go before the
// key does.
PyValue own_text_key(std::string_view text, uint64_t h) {
    PyObject* copy = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (copy == nullptr) throw py::PyErrorSet{};
    SharedRef own(adopt, copy);
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(copy, &len);
    if (s == nullptr) throw py::PyErrorSet{};
    return PyValue::text_keyed(std::move(own), CastValue::Unknown,
                               std::string_view(s, static_cast<size_t>(len)), h);
}

bool wrap(PyObject* obj, const SharedRef* container, PyValue& out) {
    const bool element = container != nullptr;
    if (wrap_native(obj, element, out)) return true;
    PyTypeObject* type = Py_TYPE(obj);
    Py_hash_t hash = PyObject_Hash(obj);
    bool hashable = true;
    if (hash == -1 && PyErr_Occurred()) {
        // Only a TypeError means "unhashable"; any other exception (from a
        // failing __hash__, an interrupt) propagates and nothing changes.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::PyErrorSet{};
        PyErr_Clear();
        if (element) return false;
        hashable = false;
        hash = 0;
    }
    uint64_t h = static_cast<uint64_t>(hash);
    SharedRef handle = element ? SharedRef::unowned(obj) : py::share(obj);
    const SharedRef& keeper = element ? *container : handle;
    bool indexable = PyType_IsSubtype(type, indexable_type());
    // Unhashable values, and values whose type keeps object's `==`, are keys
    // of their own: equal only to the very same object.
    if (!hashable || (indexable && identity_equality(type))) {
        out = indexable ? PyValue::of_indexable(std::move(handle), indexable_id(obj), h)
                        : PyValue::of_other(std::move(handle), h);
        return true;
    }
    if (indexable) {
        ClassRef cls = equality_class(obj, keeper, hash);
        out = PyValue::of_indexable(std::move(handle), indexable_id(obj), h, std::move(cls));
        return true;
    }
    if (identity_equality(type)) {
        out = PyValue::of_other(std::move(handle), h);
        return true;
    }
    // Ordered values of other types keep the key equality gives them and
    // add their range key.
    OrderedRef range = element ? OrderedRef() : range_key(obj);
    if (type == &PyLong_Type) {
        out = big_int_value(obj, handle, keeper, hash);
    } else if (!native_key(obj, handle, keeper, hash, out)) {
        ClassRef cls = equality_class(obj, keeper, hash);
        out = PyValue::of_other(std::move(handle), h, std::move(cls));
    } else if (element && out.key_kind() == KeyKind::Text) {
        out = own_text_key(out.text(), h);
    }
    if (range.get() != nullptr) out = std::move(out).with_range_key(std::move(range));
    return true;
}

// Hashing and equality of keys seen through pointers.
struct KeyPtrHash {
    size_t operator()(const PyValue* v) const noexcept { return PyValueHash{}(*v); }
};
struct KeyPtrEq {
    bool operator()(const PyValue* a, const PyValue* b) const noexcept { return a->same_key(*b); }
};

// Containers whose elements an index keys, which cannot change in place:
// tuples, their subclasses too (read from the tuple's own storage), and
// frozensets, not their subclasses (whose iteration may give other objects
// than those the set holds, and keep none of them alive).
bool keyed_container(PyObject* obj) { return PyTuple_Check(obj) || PyFrozenSet_CheckExact(obj); }

// The element keys of `container` (a tuple or frozenset), whose handle
// `keeper` keeps it alive: one per distinct hashable element.  An exception
// from an element's `__hash__` (other than TypeError) or `==` propagates.
std::unique_ptr<ElementKeys> element_keys(PyObject* container, const SharedRef& keeper) {
    auto out = std::make_unique<ElementKeys>();
    std::vector<PyValue>& keys = out->keys;
    const bool tuple = PyTuple_Check(container);
    const Py_ssize_t size = tuple ? PyTuple_GET_SIZE(container) : PyObject_Size(container);
    if (size < 0) throw py::PyErrorSet{};
    // Room for every element, so that `seen` may point into `keys`.
    keys.reserve(static_cast<size_t>(size));
    // Duplicates are found by a scan while few keys are kept, then by a set.
    constexpr size_t kScanned = 8;
    absl::flat_hash_set<const PyValue*, KeyPtrHash, KeyPtrEq> seen;
    // What keeps the elements alive for the keys and the classes they found.
    const SharedRef* elements_keeper = &keeper;
    auto add = [&](PyObject* item) {
        PyValue key;
        if (!wrap(item, elements_keeper, key)) return;
        if (keys.size() < kScanned) {
            for (const PyValue& k : keys)
                if (k.same_key(key)) return;
        } else {
            if (seen.empty())
                for (const PyValue& k : keys) seen.insert(&k);
            if (seen.contains(&key)) return;
        }
        keys.push_back(std::move(key));
        if (!seen.empty()) seen.insert(&keys.back());
    };
#ifdef PYPY_VERSION
    // PyPy may keep a frozenset's elements unboxed (bytes, strs, small ints)
    // and make each element's object anew for an iteration, gone once it
    // ends: a class founded by one would compare with freed memory.  The
    // elements are read from a tuple of them instead, which the keys keep.
    if (!tuple) {
        PyObject* items = PySequence_Tuple(container);
        if (items == nullptr) throw py::PyErrorSet{};
        out->holder = SharedRef(adopt, items);
        elements_keeper = &out->holder;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) add(PyTuple_GET_ITEM(items, i));
        keys.shrink_to_fit();
        return out;
    }
#endif
    if (tuple) {
        for (Py_ssize_t i = 0; i < size; ++i) add(PyTuple_GET_ITEM(container, i));
    } else {
        py::PyRef iter(py::new_ref, PyObject_GetIter(container));
        while (PyObject* item = PyIter_Next(iter.get())) {
            py::PyRef owned(py::steal, item);
            add(item);
        }
        if (PyErr_Occurred()) throw py::PyErrorSet{};
    }
    keys.shrink_to_fit();
    return out;
}

// Give the class `cls`, founded by a tuple or frozenset, the keys of its
// founder's elements, unless it has them already.
void give_element_keys(EqualityClass* cls) {
    if (cls->elements.load(std::memory_order_acquire) != nullptr) return;
    auto* c = static_cast<PyClass*>(cls);
    std::unique_ptr<ElementKeys> keys = element_keys(c->founder, c->keeper);
    // Computing them may have let another thread give the class its keys.
    const ElementKeys* expected = nullptr;
    if (cls->elements.compare_exchange_strong(expected, keys.get(), std::memory_order_acq_rel))
        keys.release();
}

}  // namespace

PyValue wrap_value(PyObject* obj) {
    PyValue out;
    wrap(obj, nullptr, out);
    return out;
}

PyValue wrap_stored_value(PyObject* obj) {
    PyValue out = wrap_value(obj);
    if (!keyed_container(obj)) return out;
    if (out.key_kind() == KeyKind::Class) {
        give_element_keys(out.key_class());
    } else if (out.key_kind() == KeyKind::Identity) {
        // An unhashable tuple (it holds a list, say) is a key of its own; a
        // class no other value joins carries its element keys.
        auto carrier = std::make_unique<PyClass>();
        carrier->founder = obj;
        carrier->keeper = out.handle();
        carrier->registered = false;
        carrier->elements.store(element_keys(obj, carrier->keeper).release(),
                                std::memory_order_release);
        out = std::move(out).with_element_carrier(ClassRef(adopt, carrier.release()));
    }
    return out;
}

namespace {

// The form in which an object keeps `obj` (see python/stored_attrs.hpp):
// `Native` for the values `wrap` keys natively straight away, `Identity` for
// an `Indexable` compared by identity and hashed by address, which only the
// interpreter's own slots do (PyPy's C-API layer does not show them, so
// there every `Indexable` keeps its record), else `Record`.
StoredForm form_of_value(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyFloat_Type) return StoredForm::Native;
    if (type == &PyLong_Type) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && !(x == -1 && PyErr_Occurred())) return StoredForm::Native;
        PyErr_Clear();
        return StoredForm::Record;
    }
    if (type == &PyUnicode_Type) {
        Py_ssize_t len = 0;
        if (PyUnicode_AsUTF8AndSize(obj, &len) != nullptr &&
            len <= static_cast<Py_ssize_t>(UINT32_MAX))
            return StoredForm::Native;
        PyErr_Clear();
        return StoredForm::Record;
    }
#ifndef PYPY_VERSION
    if (type->tp_hash == PyBaseObject_Type.tp_hash &&
        type->tp_richcompare == PyBaseObject_Type.tp_richcompare &&
        PyType_IsSubtype(type, indexable_type()))
        return StoredForm::Identity;
#endif
    return StoredForm::Record;
}

}  // namespace

PyValue value_of_word(uintptr_t word);

StoredValue hold_value(PyObject* obj) {
    const StoredForm form = form_of_value(obj);
    if (form != StoredForm::Record) return StoredValue::native(obj, form);
    return StoredValue::record(wrap_stored_value(obj));
}

StoredValue hold_wrapped(PyObject* obj, PyValue value) {
    switch (value.kind()) {
        case CastValue::Int:
        case CastValue::Float:
        case CastValue::Str: return StoredValue::native(obj, StoredForm::Native);
        case CastValue::Ind:
            if (value.key_kind() == KeyKind::Identity && form_of_value(obj) == StoredForm::Identity)
                return StoredValue::native(obj, StoredForm::Identity);
            break;
        default: break;
    }
    return StoredValue::record(std::move(value));
}

PyValue stored_value(const StoredAttrs& attrs, size_t i) { return value_of_word(attrs.word(i)); }

PyValue value_of_stored(const StoredValue& held) { return value_of_word(held.word()); }

PyValue value_of_word(uintptr_t word) {
    if (StoredValue::form_of(word) == StoredForm::Record) return *StoredValue::record_of(word);
    PyObject* obj = StoredValue::object_of(word);
    if (StoredValue::form_of(word) == StoredForm::Identity) {
        return PyValue::of_indexable(py::share(obj), indexable_id(obj),
                                     static_cast<uint64_t>(PyObject_Hash(obj)));
    }
    // Exactly what `wrap` gave when the value was stored: it was found
    // native then, and ints, floats and strs do not change.
    PyValue out;
    wrap(obj, nullptr, out);
    return out;
}

void read_attributes(const StoredAttrs& attrs, bool include_hidden, AttrList& out) {
    out.reserve(out.size() + attrs.size());
    for (size_t i = 0; i < attrs.size(); ++i) {
        const AttrName& name = attrs.name(i);
        if (include_hidden || !hidden_name(name.view()))
            out.push_back(name, stored_value(attrs, i));
    }
}

void read_attributes_borrowed(const StoredAttrs& attrs, AttrList& out) {
    out.reserve(out.size() + attrs.size());
    for (size_t i = 0; i < attrs.size(); ++i) {
        if (attrs.form(i) != StoredForm::Native) {
            out.push_back(attrs.name(i), stored_value(attrs, i));
            continue;
        }
        // The fields `wrap` gives, with a handle that holds no reference.
        PyObject* obj = attrs.object(i);
        SharedRef borrowed = SharedRef::unowned(obj);
        PyTypeObject* type = Py_TYPE(obj);
        PyValue v;
        if (type == &PyLong_Type) {
            const int64_t x = PyLong_AsLongLong(obj);
            v = PyValue::of_int(std::move(borrowed), x, exact_int_hash(obj, x));
        } else if (type == &PyFloat_Type) {
            const double x = PyFloat_AS_DOUBLE(obj);
            v = PyValue::of_float(std::move(borrowed), x, exact_float_hash(obj, x));
        } else {
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
            v = PyValue::of_str(std::move(borrowed),
                                std::string_view(text, static_cast<size_t>(len)),
                                exact_str_hash(obj));
        }
        out.push_back(attrs.name(i), std::move(v));
    }
}

AttrList read_attributes(const StoredAttrs& attrs, bool include_hidden) {
    AttrList out;
    read_attributes(attrs, include_hidden, out);
    return out;
}

std::string attribute_name(PyObject* name) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &len);
    if (s != nullptr) return std::string(s, static_cast<size_t>(len));
    // Only lone surrogates keep a str from encoding.  Passing them through
    // gives byte sequences that valid UTF-8 never contains, so every name
    // keeps bytes of its own; `Indexable.__dir__` decodes them back the same
    // way.
    PyErr_Clear();
    py::PyRef bytes(py::new_ref, PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace corvane
