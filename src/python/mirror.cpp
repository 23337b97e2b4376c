#include "python/mirror.hpp"

#ifdef PYPY_VERSION

#include <absl/container/flat_hash_map.h>

#include <string_view>

#include "python/attr_names.hpp"
#include "python/ref.hpp"

namespace corvane {

namespace {

// `Indexable`, once installed.
PyTypeObject* indexable_class = nullptr;
// The slot wrapper of the native read (`Indexable`'s own `__getattribute__`).
PyObject* native_read = nullptr;
// `object.__getattribute__`, which the classes that keep a mirror read with.
PyObject* generic_read = nullptr;
// The str "__getattribute__".
PyObject* read_name = nullptr;

// Each class met so far, with whether its objects keep a mirror.  Each class
// is held (a reference never given back), so that no other class can take
// its address.  Read and written under the interpreter lock.
absl::flat_hash_map<PyTypeObject*, bool>& class_modes() {
    static auto* modes = new absl::flat_hash_map<PyTypeObject*, bool>();
    return *modes;
}

void remember_mode(PyTypeObject* type, bool mirrored) {
    auto [it, inserted] = class_modes().try_emplace(type, mirrored);
    if (inserted) Py_INCREF(type);
    it->second = mirrored;
}

// Names whose descriptors every class has, none of which a stored attribute
// would reach in the instance dict: `__dict__` is `Indexable`'s own
// descriptor, which answers a stored `__dict__` first; a stored `__weakref__`
// makes the class read natively (see `store_in_mirror`).
bool usual_descriptor(PyObject* name) {
    if (!PyUnicode_Check(name)) return false;
    return PyUnicode_CompareWithASCIIString(name, "__dict__") == 0 ||
           PyUnicode_CompareWithASCIIString(name, "__weakref__") == 0;
}

// Whether a class of the MRO of `type` below `Indexable` defines a data
// descriptor (one whose type has `__set__` or `__delete__`) other than the
// usual ones: it would answer before the instance dict.
bool defines_data_descriptor(PyTypeObject* type) {
    py::PyRef mro(py::new_ref,
                  PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    py::PyRef classes(py::new_ref, PySequence_Fast(mro.get(), "__mro__ must be a tuple"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(classes.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* cls = PySequence_Fast_GET_ITEM(classes.get(), i);
        if (cls == reinterpret_cast<PyObject*>(indexable_class) ||
            cls == reinterpret_cast<PyObject*>(&PyBaseObject_Type))
            continue;
        py::PyRef dict(py::new_ref, PyObject_GetAttrString(cls, "__dict__"));
        py::PyRef items(py::new_ref, PyMapping_Items(dict.get()));
        const Py_ssize_t m = PyList_GET_SIZE(items.get());
        for (Py_ssize_t j = 0; j < m; ++j) {
            PyObject* pair = PyList_GET_ITEM(items.get(), j);
            if (usual_descriptor(PyTuple_GET_ITEM(pair, 0))) continue;
            auto* kind = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(pair, 1)));
            if (PyObject_HasAttrString(kind, "__set__") ||
                PyObject_HasAttrString(kind, "__delete__"))
                return true;
        }
    }
    return false;
}

// Set `type.__getattribute__` to `read` the way `type.__setattr__` does
// from Python, which makes PyPy drop what it noted about the class's reads.
void set_read(PyTypeObject* type, PyObject* read) {
    py::PyRef done(py::new_ref, PyObject_CallMethod(
                                    reinterpret_cast<PyObject*>(&PyType_Type), "__setattr__", "OsO",
                                    reinterpret_cast<PyObject*>(type), "__getattribute__", read));
}

// Let `type` read natively from now on; its objects stop updating their
// mirrors.  `Indexable` itself always does.  (PyPy keeps reading the
// instances of a native class with the read it first found, whatever
// `__getattribute__` becomes: only subclasses switch.)
void read_natively(PyTypeObject* type) {
    remember_mode(type, false);
    if (_PyType_Lookup(type, read_name) == generic_read) set_read(type, native_read);
}

// Stored names that the interpreter's own descriptors answer on every
// class, before the instance dict: a class whose object stores one reads
// natively.
bool answered_by_object(std::string_view name) {
    return name == "__class__" || name == "__weakref__" || name == "__weaklistoffset__";
}

// The str that keys `name` in the mirror: the name's own object (a str of
// PyPy's, interned), made on first use for a name that has none yet (one
// only ever given as an instance of a str subclass).
PyObject* mirror_key(const AttrName& name) {
    PyObject* key = name.record().object.load(std::memory_order_relaxed);
    if (key != nullptr) return key;
    py::PyRef text(py::new_ref, PyUnicode_DecodeUTF8(name.view().data(),
                                                     static_cast<Py_ssize_t>(name.view().size()),
                                                     "surrogatepass"));
    attr_name_of(text.get());
    key = name.record().object.load(std::memory_order_relaxed);
    if (key == nullptr) throw py::PyErrorSet{};  // not expected: the name has a str now
    return key;
}

// Store `name` = `value` in the instance dict of `self`.  The generic store
// writes there unless a data descriptor of the class takes the name: the
// class gained one after its first object was made, and reads natively from
// now on instead (the descriptor is not called).
void store_in_mirror(PyObject* self, const AttrName& name, PyObject* value) {
    // `Indexable`'s own `__dict__` descriptor answers a stored `__dict__`.
    if (name.view() == "__dict__") return;
    PyTypeObject* type = Py_TYPE(self);
    if (answered_by_object(name.view())) {
        read_natively(type);
        return;
    }
    PyObject* key = mirror_key(name);
    if (PyObject* found = _PyType_Lookup(type, key)) {
        auto* kind = reinterpret_cast<PyObject*>(Py_TYPE(found));
        if (PyObject_HasAttrString(kind, "__set__") || PyObject_HasAttrString(kind, "__delete__")) {
            read_natively(type);
            return;
        }
    }
    if (PyObject_GenericSetAttr(self, key, value) < 0) throw py::PyErrorSet{};
}

// Run `copy`; when it fails, the class reads natively instead, and when even
// that fails the object's mirror loses its entries: the class's `__getattr__`
// (the native read) answers the names it no longer holds.
template <typename F>
void or_read_natively(PyObject* self, F&& copy) noexcept {
    try {
        copy();
        return;
    } catch (const py::PyErrorSet&) {
        PyErr_Clear();
    } catch (...) {
    }
    try {
        read_natively(Py_TYPE(self));
        return;
    } catch (...) {
        PyErr_Clear();
    }
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (dict != nullptr) PyDict_Clear(dict);
    Py_XDECREF(dict);
    PyErr_Clear();
}

}  // namespace

bool install_mirrored_reads(PyTypeObject* indexable) {
    if (indexable == nullptr) return false;
    native_read =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(indexable), "__getattribute__");
    if (native_read == nullptr) return false;
    generic_read =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getattribute__");
    if (generic_read == nullptr) return false;
    read_name = PyUnicode_InternFromString("__getattribute__");
    if (read_name == nullptr) return false;
    indexable_class = indexable;
    remember_mode(indexable, false);
    return true;
}

bool keeps_mirror(PyTypeObject* type) {
    auto& modes = class_modes();
    auto it = modes.find(type);
    if (it != modes.end()) return it->second;
    if (indexable_class == nullptr) return false;  // installing failed: every class reads natively
    PyObject* read = _PyType_Lookup(type, read_name);
    if (read != native_read && read != generic_read) {
        // The class's author's own read, which reaches the native one
        // through `super()`: no mirror to keep.
        remember_mode(type, false);
        return false;
    }
    if (defines_data_descriptor(type)) {
        read_natively(type);
        return false;
    }
    if (read != generic_read) set_read(type, generic_read);
    remember_mode(type, true);
    return true;
}

void mirror_attribute(PyObject* self, const AttrName& name, PyObject* value) noexcept {
    or_read_natively(self, [&] { store_in_mirror(self, name, value); });
}

void mirror_attributes(PyObject* self, const StoredAttrs& attrs) noexcept {
    if (attrs.empty()) return;
    or_read_natively(self, [&] {
        for (size_t i = 0; i < attrs.size(); ++i)
            store_in_mirror(self, attrs.name(i), attrs.object(i));
    });
}

}  // namespace corvane

#endif
