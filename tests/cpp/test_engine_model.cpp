// Engine operations on several index records, driven at random and
// compared with a plain reference of what each object holds: adding singly
// and in batches (also objects held already), assignment (also of nested
// objects, and of names beginning with "_"), removal, reducing and
// merging.  After every step each record validates
// (`validate_record`, reading the objects' current attributes) and answers
// keyword filters, range queries (of numbers and of texts, prefixes too),
// dotted paths and element queries on tuple values as the reference does.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/assignment.hpp"
#include "engine/attr_list.hpp"
#include "engine/evaluate.hpp"
#include "engine/keyword_filter.hpp"
#include "engine/operations.hpp"
#include "engine/query_map.hpp"
#include "engine/reduce.hpp"
#include "scalar_value.hpp"

namespace corvane {
namespace {

constexpr uint32_t kTop = 60;           // objects 1..60 go into the indexes
constexpr uint32_t kFirstNested = 101;  // objects 101..108 are their nested values
constexpr uint32_t kNestedCount = 8;
constexpr size_t kIndexes = 3;

PyObject* object_of(uint32_t id) { return reinterpret_cast<PyObject*>(uintptr_t{id} << 4); }
uint32_t id_of(PyObject* obj) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(obj) >> 4);
}

const std::array<const char*, 4> kTexts = {"a", "b", "abc", ""};
const std::array<const char*, 4> kNames = {"x", "s", "c", "_h"};

// The tuple values: the element keys their classes carry, as scalars (1.0
// is the key 1, so the fourth tuple shares an element with the first).  The
// last tuple is unhashable, keyed by identity, its keys on a carrier.
struct TupleSpec {
    std::vector<std::pair<reference::Scalar, double>> numbers;
    std::vector<const char*> texts;
};
const std::array<TupleSpec, 5> kTuples = {{
    {{{reference::Scalar::Int, 1}}, {"a"}},
    {{{reference::Scalar::Float, 2.5}}, {"a"}},
    {{}, {}},
    {{{reference::Scalar::Float, 1.0}}, {"b"}},
    {{{reference::Scalar::Int, 2}}, {"b", ""}},
}};

// One value per tuple of `kTuples`, each with a class carrying its element
// keys.  The pool owns the classes and their keys and frees them after the
// values (members go in reverse order); no hook frees classes here.
struct TuplePool {
    struct Owned {
        EqualityClass cls;
        ~Owned() { delete cls.elements.load(); }
    };
    std::vector<std::unique_ptr<Owned>> classes;
    std::vector<PyValue> values;

    TuplePool() {
        for (size_t t = 0; t < kTuples.size(); ++t) {
            classes.push_back(std::make_unique<Owned>());
            EqualityClass* cls = &classes.back()->cls;
            auto* keys = new ElementKeys();
            for (auto [kind, num] : kTuples[t].numbers)
                keys->keys.push_back(reference::scalar_value(kind, num, ""));
            for (const char* text : kTuples[t].texts)
                keys->keys.push_back(reference::scalar_value(reference::Scalar::Text, 0, text));
            cls->elements.store(keys);
            const bool unhashable = t + 1 == kTuples.size();
            PyObject* obj = object_of(static_cast<uint32_t>(1000 + t));
            values.push_back(unhashable ? PyValue::of_other(SharedRef::unowned(obj), 0)
                                              .with_element_carrier(ClassRef(adopt, cls))
                                        : PyValue::of_other(SharedRef::unowned(obj), 5000 + t,
                                                            ClassRef(adopt, cls)));
        }
    }
};

const std::vector<PyValue>& tuple_values() {
    static const TuplePool pool;
    return pool.values;
}

// Whether tuple `t` has an element that is one key with the scalar given.
bool tuple_holds(size_t t, reference::Scalar kind, double num, std::string_view text) {
    for (auto [k, n] : kTuples[t].numbers)
        if (kind != reference::Scalar::Text && n == num) return true;
    for (const char* x : kTuples[t].texts)
        if (kind == reference::Scalar::Text && text == x) return true;
    return false;
}

// A value as the reference sees it: numbers are one key when equal
// (1 and 1.0), texts when their text is, nested objects only themselves.
struct Desc {
    enum Kind { Int, Float, Text, Nested, Tuple } kind = Int;
    double num = 0;
    const char* text = "";
    uint32_t nested = 0;  // the nested object, or the tuple of `kTuples`

    bool numeric() const { return kind == Int || kind == Float; }
    bool operator==(const Desc& o) const {
        if (numeric() || o.numeric()) return numeric() && o.numeric() && num == o.num;
        if (kind != o.kind) return false;
        return kind == Text ? std::string_view(text) == o.text : nested == o.nested;
    }
    PyValue value() const {
        if (kind == Tuple) return tuple_values()[nested];
        if (kind == Nested)
            return PyValue::of_indexable(SharedRef(adopt, object_of(nested)), nested, nested);
        return reference::scalar_value(scalar(), num, text);
    }
    uint64_t hash() const { return reference::scalar_hash(scalar(), num, text); }
    reference::Scalar scalar() const {
        return kind == Int     ? reference::Scalar::Int
               : kind == Float ? reference::Scalar::Float
                               : reference::Scalar::Text;
    }
};

class EngineWorld {
public:
    explicit EngineWorld(unsigned seed) : rng_(seed) {
        for (uint32_t n = 0; n < kNestedCount; ++n)
            if (n % 4 != 3)
                assign_list(kFirstNested + n, "a", Desc{Desc::Int, static_cast<double>(n % 3)});
        for (uint32_t id = 1; id <= kTop; ++id)
            for (const char* name : kNames)
                if (rng_() % 3 != 0) assign_list(id, name, random_desc(name));
    }

    void step(int n) {
        const unsigned what = rng_() % 100;
        if (what < 30) {
            const char* name = kNames[rng_() % kNames.size()];
            assign(1 + rng_() % kTop, name, random_desc(name));
        } else if (what < 35) {
            // Now and then a tuple, whose element sets a release must empty.
            const uint32_t r = static_cast<uint32_t>(rng_() % 4);
            assign_nested(
                kFirstNested + rng_() % kNestedCount,
                r == 3 ? Desc{Desc::Tuple, 0, "", static_cast<uint32_t>(rng_() % kTuples.size())}
                       : Desc{Desc::Int, static_cast<double>(r)});
        } else if (what < 47) {
            add_single(rng_() % kIndexes, 1 + rng_() % kTop);
        } else if (what < 62) {
            add_many(rng_() % kIndexes);
        } else if (what < 77) {
            remove(rng_() % kIndexes);
        } else if (what < 90) {
            reduce(rng_() % kIndexes);
        } else {
            const size_t t = rng_() % kIndexes, s = (t + 1 + rng_() % (kIndexes - 1)) % kIndexes;
            merge(t, s);
        }
        for (size_t k = 0; k < kIndexes; ++k) check(k, n);
    }

private:
    struct Index {
        IndexAPI api = IndexAPI::make();
        // Each member, with the names whose value sets list it (narrowing
        // takes it out of them; range pairs and holders stay).
        std::map<uint32_t, std::set<std::string>> listed;
    };

    Desc random_desc(std::string_view name) {
        const unsigned r = rng_() % 20;
        if (name == "c" && r < 14)
            return Desc{Desc::Nested, 0, "",
                        kFirstNested + static_cast<uint32_t>(rng_() % kNestedCount)};
        if (name == "s" && r < 14) return Desc{Desc::Text, 0, kTexts[rng_() % kTexts.size()]};
        if (r >= 17)
            return Desc{Desc::Tuple, 0, "", static_cast<uint32_t>(rng_() % kTuples.size())};
        if (r < 3) return Desc{Desc::Text, 0, kTexts[rng_() % kTexts.size()]};
        if (r < 8) {
            static constexpr double kReals[] = {-1.5, 0.5, 2.0, 2.5};
            return Desc{Desc::Float, kReals[rng_() % 4]};
        }
        return Desc{Desc::Int, static_cast<double>(static_cast<int>(rng_() % 7) - 3)};
    }

    void assign_list(uint32_t id, const std::string& name, const Desc& d) {
        AttrList& list = attrs_[id];
        const size_t i = list.index_of(AttrName::intern(name));
        if (i == AttrList::npos) {
            list.push_back(AttrName::intern(name), d.value());
        } else {
            list.replace(i, d.value());
        }
        descs_[id][name] = d;
    }

    std::set<std::string> indexed_names(uint32_t id) const {
        std::set<std::string> out;
        for (const auto& [name, value] : attrs_.at(id))
            if (!hidden_name(name.view())) out.insert(name.str());
        return out;
    }

    // An entry of `id` reading its attributes in place, with the entries of
    // the nested objects it holds.
    std::unique_ptr<Entry> entry_of(uint32_t id) {
        auto e = std::make_unique<Entry>();
        e->id = id;
        e->item = SharedRef(adopt, object_of(id));
        e->attrs = &attrs_[id];
        for (size_t i = 0; i < e->attrs->size(); ++i) {
            const PyValue& v = e->attrs->value(i);
            if (v.kind() == CastValue::Ind) e->nested.emplace_back(i, entry_of(v.nested_id()));
        }
        return e;
    }

    void add_single(size_t k, uint32_t id) {
        add_object(indexes_[k].api, *entry_of(id));
        indexes_[k].listed[id] = indexed_names(id);
    }

    void add_many(size_t k) {
        std::set<uint32_t> ids;
        for (unsigned i = rng_() % 12; i-- > 0;) ids.insert(1 + rng_() % kTop);
        std::vector<Entry> batch;
        for (uint32_t id : ids) batch.push_back(std::move(*entry_of(id)));
        add_object_many(indexes_[k].api, batch);
        auto store = indexes_[k].api.items->write();
        for (const Entry& e : batch) {
            store->put(e.id, e.item);
            indexes_[k].listed[e.id] = indexed_names(e.id);
        }
    }

    void assign(uint32_t id, const std::string& name, const Desc& d) {
        const PyValue fresh = d.value();
        std::unique_ptr<Entry> nested = d.kind == Desc::Nested ? entry_of(d.nested) : nullptr;
        const PyValue* old = attrs_[id].find(AttrName::intern(name));
        for (Index& index : indexes_) {
            auto member = index.listed.find(id);
            if (member == index.listed.end()) continue;
            auto maps = index.api.attr_maps->write();
            update_index(*maps, name, old, fresh, id, nested.get());
            if (!hidden_name(name)) member->second.insert(name);
        }
        assign_list(id, name, d);
    }

    // Assign "a" of a nested object as the binding does: every nested index
    // holding it follows, each from the pair it recorded.
    void assign_nested(uint32_t id, const Desc& d) {
        const PyValue fresh = d.value();
        const PyValue* old = attrs_[id].find(AttrName::intern("a"));
        const std::string name = "a";
        for (Index& index : indexes_) {
            std::shared_ptr<IndexAPI> nested;
            {
                auto maps = index.api.attr_maps->read();
                auto it = maps->find("c");
                if (it == maps->end()) continue;
                nested = it->second->nested;
            }
            EnteredList entered;
            update_if_held(nested, Assignment{id, name, old, fresh, nullptr}, entered);
        }
        assign_list(id, name, d);
    }

    void remove(size_t k) {
        Index& index = indexes_[k];
        std::vector<Leaving> leaving;
        for (const auto& [id, names] : index.listed)
            if (rng_() % 4 == 0) leaving.push_back(Leaving{id, &attrs_[id]});
        remove_objects(index.api, leaving);
        std::vector<StoredItem> doomed;
        auto store = index.api.items->write();
        for (const Leaving& l : leaving) {
            doomed.push_back(store->take(l.id));
            index.listed.erase(l.id);
        }
    }

    // The objects' attributes read in place, as reducing reads them.
    class Reader : public ObjectReader {
    public:
        explicit Reader(EngineWorld& world) : world_(world) {}
        const AttrList* attributes(PyObject* obj) override { return &world_.attrs_.at(id_of(obj)); }
        std::unique_ptr<Entry> nested_entry(uint32_t, const PyValue& value) override {
            return world_.entry_of(value.nested_id());
        }

    private:
        EngineWorld& world_;
    };

    // Keep the members holding one value in the value sets.
    void reduce(size_t k) {
        Index& index = indexes_[k];
        const std::string name = kNames[rng_() % kNames.size()];
        const Desc d = random_desc(name);
        std::set<uint32_t> want;
        for (const auto& [id, names] : index.listed)
            if (names.count(name) && descs_[id].count(name) && descs_[id][name] == d)
                want.insert(id);
        Reader reader(*this);
        ReduceOutcome outcome = reduce_index(index.api, HashQuery{{name, {d.value()}}}, reader);
        ASSERT_FALSE(outcome.refused);
        for (auto& [id, names] : index.listed)
            names = want.count(id) ? indexed_names(id) : std::set<std::string>{};
    }

    void merge(size_t t, size_t s) {
        union_with(indexes_[t].api, indexes_[s].api);
        auto store = indexes_[t].api.items->write();
        for (const auto& [id, names] : indexes_[s].listed) {
            auto [it, fresh] = indexes_[t].listed.try_emplace(id);
            if (fresh) store->put(id, SharedRef(adopt, object_of(id)));
            it->second.insert(names.begin(), names.end());
        }
    }

    static std::set<uint32_t> ids(const Bitmap& b) {
        std::set<uint32_t> out;
        b.for_each([&](uint32_t id) { out.insert(id); });
        return out;
    }

    static QueryExpr compare(QueryExpr::Op op, std::string attr, PyValue v) {
        QueryExpr e;
        e.op = op;
        e.attr = std::move(attr);
        e.values.push_back(std::move(v));
        return e;
    }

    const Desc* desc(uint32_t id, const std::string& name) {
        auto it = descs_[id].find(name);
        return it == descs_[id].end() ? nullptr : &it->second;
    }

    void check(size_t k, int n) {
        Index& index = indexes_[k];
        RecordCheck how;
        how.read = [this](PyObject* obj) { return &attrs_.at(id_of(obj)); };
        how.acyclic = true;
        try {
            validate_record(index.api, how);
        } catch (const InternalFailure& e) {
            FAIL() << "step " << n << ", index " << k << ": " << e.message();
        }
        auto maps = index.api.attr_maps->read();
        auto members = index.api.member_ids->read();
        ASSERT_EQ(ids(*members), keys(index.listed)) << "step " << n;
        // Keyword filters find the ids whose value sets list them.
        const std::string name = kNames[rng_() % 3];
        const Desc d = random_desc(name);
        std::set<uint32_t> want;
        for (const auto& [id, names] : index.listed)
            if (names.count(name) && desc(id, name) && *desc(id, name) == d) want.insert(id);
        ASSERT_EQ(ids(filter_index_by_hashes(*maps, HashQuery{{name, {d.value()}}})), want)
            << "step " << n << ", index " << k << ", " << name;
        // Ranges and dotted paths find every member, narrowed or not.
        const double bound = static_cast<double>(static_cast<int>(rng_() % 9) - 4) / 2;
        want.clear();
        for (const auto& [id, names] : index.listed)
            if (const Desc* x = desc(id, name); x && x->numeric() && x->num > bound)
                want.insert(id);
        const PyValue bound_value = Desc{Desc::Float, bound}.value();
        ASSERT_EQ(
            ids(evaluate_query(*maps, *members, compare(QueryExpr::Op::Gt, name, bound_value))),
            want)
            << "step " << n << ", index " << k << ", " << name << " > " << bound;
        // Texts order by their bytes, apart from numbers, reduced or not.
        static constexpr const char* kTextBounds[] = {"", "a", "ab", "abc", "abd", "b", "c"};
        const std::string_view tb = kTextBounds[rng_() % std::size(kTextBounds)];
        const bool prefix = rng_() % 2 == 0;
        want.clear();
        for (const auto& [id, names] : index.listed)
            if (const Desc* x = desc(id, name); x && x->kind == Desc::Text)
                if (prefix ? std::string_view(x->text).starts_with(tb)
                           : std::string_view(x->text) >= tb)
                    want.insert(id);
        const PyValue text_bound = Desc{Desc::Text, 0, tb.data()}.value();
        ASSERT_EQ(ids(evaluate_query(*maps, *members,
                                     compare(prefix ? QueryExpr::Op::StartsWith : QueryExpr::Op::Ge,
                                             name, text_bound))),
                  want)
            << "step " << n << ", index " << k << ", " << name << (prefix ? " prefix " : " >= ")
            << tb;
        const auto a = static_cast<double>(rng_() % 3);
        want.clear();
        for (const auto& [id, names] : index.listed) {
            const Desc* c = desc(id, "c");
            if (c == nullptr || c->kind != Desc::Nested) continue;
            if (const Desc* inner = desc(c->nested, "a");
                inner && inner->kind == Desc::Int && inner->num == a)
                want.insert(id);
        }
        ASSERT_EQ(
            ids(evaluate_query(*maps, *members,
                               compare(QueryExpr::Op::Eq, "c.a", Desc{Desc::Int, a}.value()))),
            want)
            << "step " << n << ", index " << k << ", c.a == " << a;
        // Elements, as equality: only ids the value sets list.
        static constexpr std::array<std::pair<reference::Scalar, double>, 4> kElements = {{
            {reference::Scalar::Int, 1},
            {reference::Scalar::Float, 2.5},
            {reference::Scalar::Int, 2},
            {reference::Scalar::Text, 0},
        }};
        const auto [kind, num] = kElements[rng_() % kElements.size()];
        const char* text = kind == reference::Scalar::Text ? (rng_() % 2 ? "a" : "b") : "";
        want.clear();
        for (const auto& [id, names] : index.listed)
            if (const Desc* x = desc(id, name); names.count(name) && x && x->kind == Desc::Tuple &&
                                                tuple_holds(x->nested, kind, num, text))
                want.insert(id);
        ASSERT_EQ(ids(evaluate_query(*maps, *members,
                                     compare(QueryExpr::Op::Contains, name,
                                             reference::scalar_value(kind, num, text)))),
                  want)
            << "step " << n << ", index " << k << ", " << name << " contains " << num << text;
    }

    template <class M>
    static std::set<uint32_t> keys(const M& m) {
        std::set<uint32_t> out;
        for (const auto& [key, value] : m) out.insert(key);
        return out;
    }

    std::mt19937 rng_;
    std::map<uint32_t, AttrList> attrs_;  // every object's attributes, as assigned
    std::map<uint32_t, std::map<std::string, Desc>> descs_;
    std::array<Index, kIndexes> indexes_;
};

TEST(EngineModel, OperationsAnswerAsTheReferenceAndKeepEveryInvariant) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        EngineWorld world(seed);
        for (int n = 0; n < 600; ++n) {
            world.step(n);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

}  // namespace
}  // namespace corvane
