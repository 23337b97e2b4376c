#include "python/attr_names.hpp"

#include <absl/container/flat_hash_map.h>

#include "python/ref.hpp"
#include "python/values.hpp"

namespace corvane {

namespace {

// Name objects already seen, each holding a reference that is never given
// back (so that no other str can take its address).  Read and written
// under the interpreter lock.
absl::flat_hash_map<PyObject*, AttrName>& seen_names() {
    static auto* seen = new absl::flat_hash_map<PyObject*, AttrName>();
    return *seen;
}

// Record `str` (a reference the caller hands over) as the object of
// `interned`, unless the name has one already, in which case the reference
// is dropped.
void remember(PyObject* str, const AttrName& interned) {
    PyObject* none = nullptr;
    if (!interned.record().object.compare_exchange_strong(none, str)) {
        Py_DECREF(str);
        return;
    }
    seen_names().emplace(str, interned);
}

}  // namespace

AttrName attr_name_of(PyObject* name) {
    auto& seen = seen_names();
    auto it = seen.find(name);
    if (it != seen.end()) return it->second;
    AttrName interned = AttrName::intern(attribute_name(name));
    if (!PyUnicode_CheckExact(name) || interned.record().object.load() != nullptr) return interned;
#ifndef PYPY_VERSION
    // Only interned strs are remembered: a str built at run time is a new
    // object at every call, and remembering it would keep each one alive.
    if (PyUnicode_CHECK_INTERNED(name)) {
        Py_INCREF(name);
        remember(name, interned);
    }
#else
    // PyPy does not say whether a str is interned: the name's interned str
    // is asked for instead, which is the very object that attribute names
    // written in source code arrive as (the C-API layer hands out one
    // address per str while a reference to it is held).  Each distinct
    // name is interned once.
    PyObject* canonical = name;
    Py_INCREF(canonical);
    PyUnicode_InternInPlace(&canonical);
    if (canonical == nullptr) throw py::PyErrorSet{};
    remember(canonical, interned);
#endif
    return interned;
}

std::optional<AttrName> known_attr_name(PyObject* name) {
    auto& seen = seen_names();
    auto it = seen.find(name);
    if (it == seen.end()) return std::nullopt;
    return it->second;
}

}  // namespace corvane
