#include "index/query.hpp"

#include <algorithm>

#include "index/indexable.hpp"
#include "python/errors.hpp"

namespace corvane {

QueryMap::QueryMap() : ranged(std::make_unique<BitMapBTree>()), nested(IndexAPI::make()) {}

bool QueryMap::has_pair(const PyValue& value, uint32_t id) const {
    auto it = exact.find(value);
    return it != exact.end() && it->second.contains(id);
}

void QueryMap::insert(const PyValue& value, uint32_t id, const Entry* nested_entry,
                      std::vector<CompositeKey128>* pending) {
    auto [it, fresh] = exact.try_emplace(value);
    if (fresh) {
        it->second = HybridSet::small_of(id);
    } else if (!it->second.add_new(id)) {
        return;
    }
    switch (value.kind()) {
        case CastValue::Int:
        case CastValue::Float:
            if (pending != nullptr) {
                pending->push_back(CompositeKey128::make(value.range_value(), id));
            } else {
                ranged->insert(value.range_value(), id);
            }
            break;
        case CastValue::Ind: {
            uint32_t nested_id = indexable_id(value.object());
            auto h = holders.find(nested_id);
            if (h == holders.end()) {
                holders.emplace(nested_id, HybridSet::small_of(id));
            } else if (!h->second.contains(id)) {
                h->second.add(id);
            }
            // No entry means a reference cycle: the object is already being
            // entered higher up the chain, so it is recorded but not entered.
            if (nested_entry != nullptr) add_object(nested, *nested_entry);
            break;
        }
        case CastValue::Str:
        case CastValue::Unknown:
            break;
    }
}

void QueryMap::enter_pending(std::vector<CompositeKey128>& pending) {
    std::sort(pending.begin(), pending.end(),
              [](const CompositeKey128& a, const CompositeKey128& b) { return a.key < b.key; });
    for (const CompositeKey128& k : pending) ranged->insert(k.value, k.id());
    pending.clear();
}

void QueryMap::remove_id(const PyValue& value, uint32_t id) {
    auto it = exact.find(value);
    if (it != exact.end()) it->second.remove(id);
    if (value.is_numeric()) {
        ranged->remove(value.range_value(), id);
    } else if (value.kind() == CastValue::Ind) {
        // The holder no longer refers to this nested object, so dotted paths
        // must stop matching through it.
        uint32_t nested_id = indexable_id(value.object());
        auto h = holders.find(nested_id);
        if (h != holders.end()) {
            h->second.remove(id);
            if (h->second.empty()) holders.erase(h);
        }
    }
}

void QueryMap::check_prune(const PyValue& value) {
    auto it = exact.find(value);
    if (it == exact.end()) fail("no entry found for key");
    if (it->second.empty()) exact.erase(it);
}

void QueryMap::merge(const QueryMap& other) {
    for (const auto& [value, set] : other.exact) {
        auto it = exact.find(value);
        if (it == exact.end()) {
            exact.emplace(value, set.copy());
        } else {
            // Unite without recording an id twice.
            HybridSet& mine = it->second;
            set.for_each([&](uint32_t id) {
                if (!mine.contains(id)) mine.add(id);
            });
        }
    }
}

std::string attribute_name(PyObject* name) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &len);
    if (s == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    return std::string(s, static_cast<size_t>(len));
}

namespace {
void add_unique(std::vector<PyValue>& values, PyValue v) {
    for (const auto& existing : values)
        if (existing.same_key(v)) return;
    values.push_back(std::move(v));
}
}  // namespace

HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames) {
    HashQuery query;
    if (kwnames == nullptr) return query;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    query.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* obj = values[i];
        std::vector<PyValue> accepted;
        PyTypeObject* type = Py_TYPE(obj);
        // Strings are one value; so are the common scalars, which are known
        // not to be iterable (skipping the failed iterator request saves
        // building an exception on the hot path).
        if (PyUnicode_Check(obj) || type == &PyLong_Type || type == &PyFloat_Type ||
            type == &PyBool_Type || obj == Py_None) {
            accepted.push_back(PyValue::wrap(obj));
        } else {
            PyObject* iter = PyObject_GetIter(obj);
            if (iter == nullptr) {
                PyErr_Clear();
                accepted.push_back(PyValue::wrap(obj));
            } else {
                py::PyRef it(py::steal, iter);
                while (PyObject* item = PyIter_Next(iter)) {
                    py::PyRef owned(py::steal, item);
                    add_unique(accepted, PyValue::wrap(item));
                }
                if (PyErr_Occurred()) throw py::PyErrorSet{};
            }
        }
        query.emplace_back(attribute_name(PyTuple_GET_ITEM(kwnames, i)), std::move(accepted));
    }
    return query;
}

Bitmap filter_index_by_hashes(const AttrMaps& maps, const HashQuery& query) {
    if (query.empty()) return Bitmap();
    struct Term {
        const QueryMap* map;
        const std::vector<PyValue>* values;
        uint64_t estimate;
    };
    std::vector<Term> terms;
    terms.reserve(query.size());
    for (const auto& [name, values] : query) {
        auto it = maps.find(name);
        const QueryMap* map = it == maps.end() ? nullptr : it->second.get();
        uint64_t estimate = 0;
        if (map != nullptr) {
            for (const auto& v : values) {
                auto e = map->exact.find(v);
                if (e != map->exact.end()) estimate += e->second.cardinality();
            }
        }
        terms.push_back({map, &values, estimate});
    }
    std::stable_sort(terms.begin(), terms.end(),
                     [](const Term& a, const Term& b) { return a.estimate < b.estimate; });

    Bitmap result;
    bool first = true;
    for (const Term& term : terms) {
        if (!first && result.empty()) return result;
        // The sets of the term's values that are present.
        const HybridSet* sets[2];
        size_t found = 0;
        bool many = false;
        if (term.map != nullptr) {
            for (const auto& v : *term.values) {
                auto e = term.map->exact.find(v);
                if (e == term.map->exact.end()) continue;
                if (found == 1) many = true;
                if (found < 2) sets[found] = &e->second;
                ++found;
            }
        }
        if (!first && found == 1 && sets[0]->form() == HybridSet::Form::Large) {
            // One stored bitmap: intersect with it directly, no copy.
            result.and_inplace(sets[0]->bitmap());
            continue;
        }
        Bitmap s;
        if (found == 1) {
            s = sets[0]->as_bitmap();
        } else if (many) {
            for (const auto& v : *term.values) {
                auto e = term.map->exact.find(v);
                if (e != term.map->exact.end()) e->second.or_into(s);
            }
        }
        if (first) {
            result = std::move(s);
            first = false;
        } else {
            result.and_inplace(s);
        }
    }
    return result;
}

}  // namespace corvane
