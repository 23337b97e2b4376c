#include "python/attr_names.hpp"

#include <absl/container/flat_hash_map.h>

#include "python/values.hpp"

namespace corvane {

namespace {

#ifndef PYPY_VERSION
// Interned strs already seen, each holding a reference that is never given
// back.  Read and written under the interpreter lock.
absl::flat_hash_map<PyObject*, AttrName>& seen_names() {
    static auto* seen = new absl::flat_hash_map<PyObject*, AttrName>();
    return *seen;
}
#endif

}  // namespace

AttrName attr_name_of(PyObject* name) {
#ifndef PYPY_VERSION
    // Only interned strs are remembered: a str built at run time is a new
    // object at every call, and remembering it would keep each one alive.
    if (PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) {
        auto& seen = seen_names();
        auto it = seen.find(name);
        if (it != seen.end()) return it->second;
        AttrName interned = AttrName::intern(attribute_name(name));
        seen.emplace(name, interned);
        Py_INCREF(name);
        PyObject* none = nullptr;
        interned.record().object.compare_exchange_strong(none, name);
        return interned;
    }
#endif
    return AttrName::intern(attribute_name(name));
}

}  // namespace corvane
