#include "python/indexable.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/assignment.hpp"
#include "engine/operations.hpp"
#include "engine/registration.hpp"
#include "python/args.hpp"
#include "python/attr_names.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/gil_policy.hpp"
#include "python/mirror.hpp"
#include "python/values.hpp"

namespace corvane {

std::atomic<uint64_t> GLOBAL_ID_COUNTER{1};

namespace {

// Bring nested index `index` up to date with object `st` (held in it), read
// as `before` when it was entered: each attribute changed since moves to
// its current value.  Reading an `Indexable` value's entry needs the
// interpreter lock; moving the pair is the engine's.  Entries read are kept
// in `read` until the registrations are done.
void catch_up_registered(const std::shared_ptr<IndexAPI>& index, IndexableState& st,
                         const AttrList& before, EnteredList& entered,
                         std::vector<std::unique_ptr<Entry>>& read) {
    // A copy: waiting for a lock in the engine lets other threads run, and
    // their assignments change the object's own list.
    const AttrList now = read_attributes(st.attributes, false);
    for (const Changed& c : changed_attributes(before, now)) {
        std::unique_ptr<Entry> nested;
        if (c.value->kind() == CastValue::Ind) {
            std::vector<uint32_t> path{st.id};
            nested = make_entry(c.value->object(), false, false, path, index->depth);
        }
        const Assignment a{st.id, c.name->str(), c.old_value, *c.value, nested.get()};
        // Released meanwhile: nothing to bring up to date.
        if (!update_if_held(index, a, entered)) break;
        read.push_back(std::move(nested));
    }
}

}  // namespace

void register_entered(EnteredList& entered) {
    // Entries read here for values that changed, alive until the end.
    std::vector<std::unique_ptr<Entry>> read;
    while (!entered.empty()) {
        NestedEntered e = std::move(entered.back());
        entered.pop_back();
        std::shared_ptr<IndexAPI> index = e.index.lock();
        PyObject* obj = e.item.get();
        if (!index || obj == nullptr) continue;
        IndexableState& st = indexable_state(obj);
        add_registration(st.indexes, e.index);
        // Compared with what the index entered: an assignment that ran
        // since, before this registration, did not reach the index.
        const AttrList* before = e.entry != nullptr ? e.entry->attrs : e.snapshot.get();
        if (before != nullptr) catch_up_registered(index, st, *before, entered, read);
    }
}

namespace {

IndexableObject* as_obj(PyObject* self) { return reinterpret_cast<IndexableObject*>(self); }

PyObject* indexable_new(PyTypeObject* type, PyObject*, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        if (kwargs != nullptr && kwargs != Py_None && !PyDict_Check(kwargs)) {
            py::argument_conversion_error(kwargs, "PyDict", "kwargs");
        }
        py::PyRef self(py::new_ref, type->tp_alloc(type, 0));
        IndexableObject* obj = as_obj(self.get());
        new (&obj->state) IndexableState();
        obj->weaklist = nullptr;
        IndexableState& st = obj->state;
        if (kwargs != nullptr && kwargs != Py_None) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) continue;
                AttrName name = attr_name_of(key);
                StoredValue v = hold_value(value);
                size_t at = st.attributes.index_of(name);
                if (at != StoredAttrs::npos) {
                    st.attributes.replace(at, std::move(v));
                } else {
                    st.attributes.push_back(name, std::move(v));
                }
            }
        }
        st.id = static_cast<uint32_t>(GLOBAL_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst));
#ifdef PYPY_VERSION
        if (keeps_mirror(type)) mirror_attributes(self.get(), st.attributes);
#endif
        return self.release();
    });
}

// Construction happens in tp_new; this only lets subclasses forward their
// arguments with super().__init__(*args, **kwargs).
int indexable_init(PyObject*, PyObject*, PyObject*) { return 0; }

int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
    // Every attribute value is reported here.  Indexes keep copies of these
    // handles as keys of their maps and never report them, so each
    // reference is reported once, whatever the handle's count (which engine
    // threads change without the interpreter lock).  The list itself only
    // changes under the interpreter lock.
    const StoredAttrs& attrs = as_obj(self)->state.attributes;
    for (size_t i = 0; i < attrs.size(); ++i) Py_VISIT(attrs.object(i));
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int indexable_clear(PyObject* self) {
    IndexableState& st = as_obj(self)->state;
    if (st.use.in_use()) return 0;  // a call is reading the attributes
    StoredAttrs doomed;
    doomed.swap(st.attributes);
    doomed.clear();
    return 0;
}

void indexable_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
#ifndef PYPY_VERSION
    // Dropping the attribute values may drop the last reference to another
    // Indexable, whose values may do the same: a long chain would recurse
    // once per link.  The trashcan defers deallocations past a fixed depth
    // and runs them from the outermost one instead.  (PyPy's collector frees
    // objects without recursing, and offers no such mechanism.)
    Py_TRASHCAN_BEGIN(self, indexable_dealloc)
#endif
        if (as_obj(self)->weaklist != nullptr) PyObject_ClearWeakRefs(self);
    as_obj(self)->state.~IndexableState();
    type->tp_free(self);
    Py_DECREF(type);
#ifndef PYPY_VERSION
    Py_TRASHCAN_END
#endif
}

PyObject* stored_attributes_view(PyObject* self);

[[noreturn]] void attribute_error(PyObject* name) {
    PyErr_SetObject(PyExc_AttributeError, name);
    throw py::PyErrorSet{};
}

// The text of the str `name`; `passed` keeps the bytes of a name holding
// lone surrogates.
std::string_view name_text(PyObject* name, std::string& passed) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &len);
    if (s == nullptr) {
        PyErr_Clear();
        passed = attribute_name(name);
        return passed;
    }
    return std::string_view(s, static_cast<size_t>(len));
}

#ifdef PYPY_VERSION
// Whether `next` is an exact int or float that PyPy holds to be the very
// object `prev` is: same type and same value (floats bit for bit).
bool same_number(const PyValue& prev, const PyValue& next) noexcept {
    if (next.kind() != CastValue::Int && next.kind() != CastValue::Float) return false;
    PyTypeObject* type = Py_TYPE(next.object());
    if (type != Py_TYPE(prev.object()) || (type != &PyLong_Type && type != &PyFloat_Type))
        return false;
    return records_alike(prev, next);
}
#endif

// The position of the attribute of `attrs` whose name's own str is `name`,
// or `npos`.  A name written in source code is the very object its record
// keeps (see `attr_name_of`), so reads and assignments compare addresses
// first, texts only then.  The names are the shape's, shared with the
// objects like this one.
size_t position_by_address(const StoredAttrs& attrs, PyObject* name) noexcept {
    const AttrName* names = attrs.shape().names();
    for (size_t i = 0, n = attrs.size(); i < n; ++i) {
        if (names[i].record().object.load(std::memory_order_relaxed) == name) return i;
    }
    return StoredAttrs::npos;
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
    return py::entry([&]() -> PyObject* {
        if (!PyUnicode_Check(name)) {
            py::argument_conversion_error(name, "PyString", "name");
        }
        const StoredAttrs& attrs = as_obj(self)->state.attributes;
        if (const size_t at = position_by_address(attrs, name); at != StoredAttrs::npos) {
            PyObject* found = attrs.object(at);
            Py_INCREF(found);
            return found;
        }
        std::string passed;
        std::string_view text;
        if (const std::optional<AttrName> known = known_attr_name(name)) {
            // A name's own object that matched no address names no stored
            // attribute (a method, a class attribute): no text to compare.
            text = known->view();
        } else {
            text = name_text(name, passed);
            for (size_t i = 0; i < attrs.size(); ++i) {
                if (attrs.name(i).view() == text) {
                    PyObject* found = attrs.object(i);
                    Py_INCREF(found);
                    return found;
                }
            }
        }
        // The interpreter gives the instances of classes defined in Python
        // (and, on PyPy, of every class) an instance dict, which never holds
        // the stored attributes: `__dict__` is answered before ordinary
        // lookup finds that one.
        if (text == "__dict__") return stored_attributes_view(self);
        PyObject* r = PyObject_GenericGetAttr(self, name);
        if (r == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            attribute_error(name);
        }
        return r;
    });
}

// The entry of `value`, an `Indexable` being assigned to the object of
// `st`.  Its depth counts from the deepest index holding the object: a
// value assigned deep inside nested indexes nests that much deeper.  The
// object is being entered already: a path back to it is a cycle, recorded
// but not entered again.
std::unique_ptr<Entry> assigned_entry(const IndexableState& st, const PyValue& value) {
    std::vector<uint32_t> path{st.id};
    return make_entry(value.object(), false, false, path, deepest_depth(st.indexes));
}

// Store `value` under `key` in the object's own list.  Returns the value
// replaced (none when the name is new), which the caller drops once the
// object's use has ended: its finaliser may touch the object.
StoredValue store_attribute(IndexableState& st, const AttrName& key, StoredValue value) {
    const size_t at = st.attributes.index_of(key);
    if (at != StoredAttrs::npos) return st.attributes.replace(at, std::move(value));
    st.attributes.push_back(key, std::move(value));
    return StoredValue();
}

// Store `held` (of `value`) under `key` and, on PyPy, copy it into the
// mirror right after, with no Python code between the two: a reader sees the
// old value in both places or the new one in both.  Returns the value
// replaced, which the caller drops once the object's use has ended.
StoredValue store_and_mirror([[maybe_unused]] PyObject* self, IndexableState& st,
                             const AttrName& key, [[maybe_unused]] PyObject* value,
                             StoredValue held, [[maybe_unused]] bool mirrored) {
    StoredValue replaced = store_attribute(st, key, std::move(held));
#ifdef PYPY_VERSION
    if (mirrored) mirror_attribute(self, key, value);
#endif
    return replaced;
}

// The engine value of `key` of `st`, if it has one.
std::optional<PyValue> stored_value_of(const IndexableState& st, const AttrName& key) {
    const size_t at = st.attributes.index_of(key);
    if (at == StoredAttrs::npos) return std::nullopt;
    return stored_value(st.attributes, at);
}

// Assign `new_value` (of `value`) to `key` of `self`, an object in some
// index, through every index holding it, then store it.  The caller holds
// the object's use, which ends here.
void assign_through_indexes(PyObject* self, IndexableState& st, const AttrName& key,
                            PyObject* value, PyValue new_value, bool mirrored,
                            py::ExclusiveUse& use) {
    std::unique_ptr<Entry> nested;
    if (new_value.kind() == CastValue::Ind) nested = assigned_entry(st, new_value);
    // A copy: while the interpreter lock is released, another thread may
    // register this object with a nested index it enters it into (that
    // needs no use of the object), changing the list.
    const Registrations reached = st.indexes;
    AssignOutcome out;
    // The value replaced: nothing else can assign the object meanwhile (its
    // use is held), so this is also what the store below replaces.
    const std::optional<PyValue> old = stored_value_of(st, key);
    const Assignment a{st.id, key.str(), old ? &*old : nullptr, new_value, nested.get()};
    if (nested) {
        py::run_engine(py::gil_policy::assignment, [&] { out = assign_attribute(reached, a); });
    } else {
        py::DeferDecrefs defer;
        py::run_engine(py::gil_policy::assignment_of_plain_value,
                       [&] { out = assign_attribute(reached, a); });
    }
    StoredValue replaced =
        store_and_mirror(self, st, key, value, hold_wrapped(value, new_value), mirrored);
    const bool registered_meanwhile =
        std::any_of(st.indexes.begin(), st.indexes.end(),
                    [&](const IndexMeta& m) { return !is_registered(reached, m.index); });
    if (registered_meanwhile) {
        // A nested index registered meanwhile entered this object as it was
        // before this assignment (its list is written only now, under the
        // interpreter lock, and only then can a new reading see it): bring
        // those indexes up to date.
        const Assignment now{st.id, key.str(), old ? &*old : nullptr, new_value, nested.get()};
        catch_up_assignment(Registrations(st.indexes), reached, now, out.entered);
    }
    // Registered once the value is stored: this object may be among the
    // nested objects just entered (a reference cycle), read before its own
    // assignment, which the registration then brings up to date.
    register_entered(out.entered);
    if (out.left) drop_released(st.indexes, st.id);
    nested.reset();
    // The replaced value is released after the use ends.
    use.end();
}

// Store `held` (of `value`) under `key` with no index work, then end the
// object's use; the value replaced is released after that.
void store_only(PyObject* self, IndexableState& st, const AttrName& key, PyObject* value,
                StoredValue held, bool mirrored, py::ExclusiveUse& use) {
    StoredValue replaced = store_and_mirror(self, st, key, value, std::move(held), mirrored);
    use.end();
}

// The name `name` stands for, and its position among the attributes of
// `st` (`npos` when the object has none of that name).  A name the object
// has, passed as its own str, needs no look-up.
AttrName assigned_name(const IndexableState& st, PyObject* name, size_t& at) {
    at = position_by_address(st.attributes, name);
    if (at != StoredAttrs::npos) return st.attributes.name(at);
    const AttrName key = attr_name_of(name);
    at = st.attributes.index_of(key);
    return key;
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return py::entry_status([&] {
        if (value == nullptr) py::raise(PyExc_AttributeError, "can't delete attribute");
        IndexableState& st = as_obj(self)->state;
        py::ExclusiveUse use(st.use);
        if (!PyUnicode_Check(name)) {
            py::argument_conversion_error(name, "PyString", "name");
        }
        size_t at = StoredAttrs::npos;
        const AttrName key = assigned_name(st, name, at);
        const bool hidden = hidden_name(key.view());
        // The object it holds already: nothing changes, in the object or in
        // an index whose value sets are whole (one narrowed by `reduce`
        // enters the object again, below).
        if (at != StoredAttrs::npos && st.attributes.object(at) == value &&
            (hidden || sets_complete(st.indexes)))
            return;
#ifdef PYPY_VERSION
        // Decided when the first object of the class was made: nothing to
        // fail here once the indexes have moved.
        const bool mirrored = keeps_mirror(Py_TYPE(self));
#else
        const bool mirrored = false;
#endif
        PyValue new_value;
        if (hidden || st.indexes.empty()) {
            // In no index: only the object changes, and a value keyed from
            // its object alone is not even wrapped.
            StoredValue held = hold_value(value);
            // Read after the value: hashing and comparing it runs Python
            // code, during which another thread may register the object with
            // a nested index.
            if (hidden || st.indexes.empty()) {
                store_only(self, st, key, value, std::move(held), mirrored, use);
                return;
            }
            new_value = value_of_stored(held);
        } else {
            new_value = wrap_stored_value(value);
        }
        std::optional<PyValue> old;
        if (at != StoredAttrs::npos) old = stored_value(st.attributes, at);
#ifdef PYPY_VERSION
        // PyPy compares exact ints and floats by value for `is` (and `id`):
        // an equal one recorded alike is the object held already, whatever
        // its address here, and nothing changes (as above).  Values read
        // back from the mirror arrive like that.
        if (old && sets_complete(st.indexes) && same_number(*old, new_value)) return;
#endif
        if (!(old && records_alike(*old, new_value) && sets_complete(st.indexes))) {
            old.reset();
            assign_through_indexes(self, st, key, value, std::move(new_value), mirrored, use);
            return;
        }
        // Recorded in the indexes as the old value was: store it, and the
        // indexes stay as they are.
        store_only(self, st, key, value, hold_wrapped(value, std::move(new_value)), mirrored, use);
    });
}

PyObject* indexable_repr(PyObject* self) {
    return py::entry([&]() -> PyObject* {
        return PyUnicode_FromFormat("<MyClass with %zu attributes>",
                                    as_obj(self)->state.attributes.size());
    });
}

PyObject* indexable_dir(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        py::no_arguments("Indexable.__dir__", nargs, kwnames);
        py::PyRef out(py::new_ref, PyList_New(0));
        // Copy the names first: building strings cannot change the list, but
        // keep the loop free of anything that could.
        std::vector<std::string> names;
        const StoredAttrs& attrs = as_obj(self)->state.attributes;
        for (size_t i = 0; i < attrs.size(); ++i) names.push_back(attrs.name(i).str());
        for (const auto& n : names) {
            py::PyRef s(
                py::new_ref,
                PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "surrogatepass"));
            if (PyList_Append(out.get(), s.get()) < 0) throw py::PyErrorSet{};
        }
        py::PyRef builtins(py::new_ref, PyImport_ImportModule("builtins"));
        py::PyRef object(py::new_ref, PyObject_GetAttrString(builtins.get(), "object"));
        py::PyRef base(py::new_ref, PyObject_CallMethod(object.get(), "__dir__", "O", self));
        if (!PyList_Check(base.get())) py::conversion_error(base.get(), "PyList");
        Py_ssize_t n = PyList_GET_SIZE(base.get());
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyList_Append(out.get(), PyList_GET_ITEM(base.get(), i)) < 0)
                throw py::PyErrorSet{};
        return out.release();
    });
}

// A new dict of the stored attributes, in assignment order, names decoded as
// `__dir__` decodes them.  The pairs are copied first: building the dict
// allocates, a collection may run a finaliser, and a finaliser may assign
// attributes of this object.
PyObject* stored_attributes_dict(PyObject* self) {
    std::vector<std::pair<std::string, py::PyRef>> pairs;
    const StoredAttrs& attrs = as_obj(self)->state.attributes;
    for (size_t i = 0; i < attrs.size(); ++i)
        pairs.emplace_back(attrs.name(i).str(), py::PyRef(py::borrow, attrs.object(i)));
    py::PyRef out(py::new_ref, PyDict_New());
    for (const auto& [n, v] : pairs) {
        py::PyRef key(py::new_ref, PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()),
                                                        "surrogatepass"));
        if (PyDict_SetItem(out.get(), key.get(), v.get()) < 0) throw py::PyErrorSet{};
    }
    return out.release();
}

// `__getstate__`: the stored attributes as a new dict (hidden names too).
PyObject* indexable_getstate(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* { return stored_attributes_dict(self); });
}

// `__setstate__`: store every entry of `state` through the attribute store,
// in the dict's order, as assignments would.  Names are checked before the
// first one is stored, so a bad state leaves the object as it was.
PyObject* indexable_setstate(PyObject* self, PyObject* state) {
    return py::entry([&]() -> PyObject* {
        if (!PyDict_Check(state)) {
            PyErr_Format(PyExc_TypeError, "Indexable.__setstate__: state must be a dict, not '%s'",
                         Py_TYPE(state)->tp_name);
            throw py::PyErrorSet{};
        }
        // A snapshot of the pairs: storing a value may run code that changes
        // the dict.
        py::PyRef items(py::new_ref, PyDict_Items(state));
        Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError,
                             "Indexable.__setstate__: attribute names must be str, not '%s'",
                             Py_TYPE(key)->tp_name);
                throw py::PyErrorSet{};
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (indexable_setattro(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0)
                throw py::PyErrorSet{};
        }
        Py_RETURN_NONE;
    });
}

// `__reduce__`: rebuild as `cls.__new__(cls)` (a fresh id, in no index), then
// restore what `__getstate__` returns.  Looking `__getstate__` up on the
// object lets a subclass replace it; a subclass defining `__reduce__` or
// `__reduce_ex__` replaces this method itself.  Setting the state after the
// object exists is what lets pickle and deepcopy rebuild reference cycles.
PyObject* indexable_reduce(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        py::PyRef copyreg(py::new_ref, PyImport_ImportModule("copyreg"));
        py::PyRef newobj(py::new_ref, PyObject_GetAttrString(copyreg.get(), "__newobj__"));
        py::PyRef state(py::new_ref, PyObject_CallMethod(self, "__getstate__", nullptr));
        return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                             state.get());
    });
}

// What `obj.__dict__`, and so `vars(obj)`, gives for every class: a
// read-only view of a snapshot of the stored attributes.  Answered by
// `indexable_getattro` rather than by a descriptor of the class, which the
// instance dict of a subclass would shadow.
PyObject* stored_attributes_view(PyObject* self) {
    py::PyRef snapshot(py::new_ref, stored_attributes_dict(self));
    return PyDictProxy_New(snapshot.get());
}

// `__dict__` as a descriptor of `Indexable`, for the lookups that do not
// reach `indexable_getattro`: `object.__getattribute__`, and on PyPy every
// read of a class that keeps a mirror.  It answers what that gives, and
// keeps any instance dict (on PyPy the mirror) out of reach of code that
// would write to it around the indexes.  PyPy does not shadow it in
// subclasses, their instance dict being the one `Indexable` has; on
// CPython a subclass drops its own (see `drop_unused_dict`).
PyObject* indexable_dict_getter(PyObject* self, void*) {
    return py::entry([&]() -> PyObject* {
        const StoredAttrs& attrs = as_obj(self)->state.attributes;
        for (size_t i = 0; i < attrs.size(); ++i) {
            if (attrs.name(i).view() == "__dict__") {
                PyObject* found = attrs.object(i);
                Py_INCREF(found);
                return found;
            }
        }
        return stored_attributes_view(self);
    });
}

PyGetSetDef indexable_getset[] = {
    {"__dict__", indexable_dict_getter, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// `super(Indexable, cls).__init_subclass__(*args, **kwargs)`: let the other
// classes of the hierarchy see the new class too.
PyObject* init_subclass_of_bases(PyObject* cls, PyObject* args, PyObject* kwargs) {
    py::PyRef builtins(py::new_ref, PyImport_ImportModule("builtins"));
    py::PyRef super_type(py::new_ref, PyObject_GetAttrString(builtins.get(), "super"));
    py::PyRef super(py::new_ref, PyObject_CallFunctionObjArgs(
                                     super_type.get(),
                                     reinterpret_cast<PyObject*>(indexable_type()), cls, nullptr));
    py::PyRef hook(py::new_ref, PyObject_GetAttrString(super.get(), "__init_subclass__"));
    return PyObject_Call(hook.get(), args, kwargs);
}

#ifndef PYPY_VERSION
// A class defined in Python gets an instance dict unless it says otherwise.
// An Indexable never needs one: every assignment goes to the stored
// attributes, and `__dict__` is answered from them.  When the class is made,
// before it has any instance, it drops the dict's descriptor, which would
// shadow the one of `Indexable` and hand the dict out; since 3.11, where the
// dict lives in two words in front of each instance, it drops the dict
// itself too, unless a base of its own has it already (a base whose
// `__init_subclass__` did not reach this one).
void drop_unused_dict(PyTypeObject* cls) {
    PyObject* descr = PyDict_GetItemString(cls->tp_dict, "__dict__");
    if (descr != nullptr && Py_IS_TYPE(descr, &PyGetSetDescr_Type) &&
        PyDict_DelItemString(cls->tp_dict, "__dict__") < 0)
        throw py::PyErrorSet{};
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (PyType_HasFeature(cls, Py_TPFLAGS_MANAGED_DICT) && cls->tp_base != nullptr &&
        !PyType_HasFeature(cls->tp_base, Py_TPFLAGS_MANAGED_DICT)) {
        cls->tp_flags &= ~static_cast<unsigned long>(Py_TPFLAGS_MANAGED_DICT);
        cls->tp_dictoffset = 0;
    }
#endif
    PyType_Modified(cls);
}

PyObject* indexable_init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        drop_unused_dict(reinterpret_cast<PyTypeObject*>(cls));
        return init_subclass_of_bases(cls, args, kwargs);
    });
}
#else
// PyPy lays the instances of a class out as those of one of its bases,
// chosen without regard to native layouts: a class deriving from Indexable
// and from a built-in class with a layout of its own (dict, list,
// Exception...), or from a class listed before Indexable, gets instances
// too small for the state of an Indexable, and using them reads and writes
// past their end.  CPython refuses the first kind of class ("lay-out
// conflict"); on PyPy this hook refuses every class whose instances would
// be too small, when it is created.
PyObject* indexable_init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        PyTypeObject* base = indexable_type();
        if (base == nullptr) throw py::PyErrorSet{};
        if (reinterpret_cast<PyTypeObject*>(cls)->tp_basicsize < base->tp_basicsize) {
            // CPython accepts a class whose first base is a plain Python
            // class and a later one Indexable: say how to write it for PyPy.
            py::PyRef bases(py::new_ref, PyObject_GetAttrString(cls, "__bases__"));
            PyObject* first =
                PyTuple_Size(bases.get()) > 0 ? PyTuple_GET_ITEM(bases.get(), 0) : nullptr;
            bool plain_first = first != nullptr && PyType_Check(first) &&
                               !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(first), base);
            py::PyRef mro(py::new_ref, PyObject_GetAttrString(cls, "__mro__"));
            for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
                auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
                if (t != &PyBaseObject_Type && !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE))
                    plain_first = false;  // a built-in base: CPython refuses too
            }
            py::type_error(!plain_first
                               ? "multiple bases have instance lay-out conflict"
                               : "multiple bases have instance lay-out conflict (on PyPy, list the "
                                 "Indexable class before the other bases)");
        }
        return init_subclass_of_bases(cls, args, kwargs);
    });
}
#endif

PyMethodDef indexable_methods[] = {
    {"__dir__", CORVANE_FASTCALL(indexable_dir), METH_FASTCALL | METH_KEYWORDS,
     "__dir__($self)\n--\n\n"},
    {"__reduce__", indexable_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__getstate__", indexable_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", indexable_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indexable_init_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef indexable_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IndexableObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject* create_indexable_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
        {Py_tp_init, reinterpret_cast<void*>(indexable_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
        {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
        {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
        {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
        {Py_tp_methods, indexable_methods},
        {Py_tp_members, indexable_members},
        {Py_tp_getset, indexable_getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Corvane.Indexable", static_cast<int>(sizeof(IndexableObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                               slots};
#ifdef PYPY_VERSION
    PyTypeObject* type = type_from_spec(&spec);
    if (type != nullptr && !install_mirrored_reads(type)) {
        Py_DECREF(type);
        return nullptr;
    }
    return type;
#else
    return type_from_spec(&spec);
#endif
}

}  // namespace corvane
