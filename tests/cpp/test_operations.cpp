// Engine operations that take their own locks, checked against plain
// std::map / std::set models: the store of an index, registrations,
// assignment, removal, reduce, rebuilding, lookups and the batch fill.
// Objects are stand-in addresses (no release hook is installed, so nothing
// is ever released) and values carry no Python object.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/assignment.hpp"
#include "engine/evaluate.hpp"
#include "engine/lookup.hpp"
#include "engine/operations.hpp"
#include "engine/order.hpp"
#include "engine/query_map.hpp"
#include "engine/reduce.hpp"
#include "engine/registration.hpp"
#include "engine/stored.hpp"

namespace corvane {
namespace {

PyObject* object(uint32_t id) { return reinterpret_cast<PyObject*>(uintptr_t{id} << 4); }
PyValue num(int64_t i) { return PyValue::of_int(SharedRef(), i, static_cast<uint64_t>(i)); }

std::vector<uint32_t> ids_of(const Bitmap& b) {
    std::vector<uint32_t> out;
    b.for_each([&](uint32_t id) { out.push_back(id); });
    return out;
}

Bitmap bitmap_of(const std::set<uint32_t>& ids) {
    Bitmap b;
    for (uint32_t id : ids) b.add(id);
    return b;
}

// The attributes of the model objects: name to small int.
using Attrs = std::map<std::string, int64_t>;
using Model = std::map<uint32_t, Attrs>;

void fill(Entry& e, uint32_t id, const Attrs& attrs) {
    e.id = id;
    e.item = SharedRef(adopt, object(id));
    e.own().clear();
    for (const auto& [name, v] : attrs) e.own().push_back(AttrName::intern(name), num(v));
}

std::vector<Entry> entries_of(const Model& model) {
    std::vector<Entry> entries(model.size());
    size_t i = 0;
    for (const auto& [id, attrs] : model) fill(entries[i++], id, attrs);
    return entries;
}

// The ids of `model` whose `name` is `v`, within `among` when given.
std::vector<uint32_t> expected(const Model& model, const std::string& name, int64_t v,
                               const std::set<uint32_t>* among = nullptr) {
    std::vector<uint32_t> out;
    for (const auto& [id, attrs] : model) {
        auto it = attrs.find(name);
        if (it != attrs.end() && it->second == v && (among == nullptr || among->count(id) != 0))
            out.push_back(id);
    }
    return out;
}

std::vector<uint32_t> found(const IndexAPI& index, const std::string& name, int64_t v) {
    return ids_of(filter_within(*index.attr_maps, HashQuery{{name, {num(v)}}}, nullptr));
}

// Every (name, value) a model can hold finds exactly its objects.
void expect_index(const IndexAPI& index, const Model& model, int64_t values,
                  const std::set<uint32_t>* among = nullptr) {
    for (const char* name : {"a", "b", "c"})
        for (int64_t v = 0; v < values; ++v)
            ASSERT_EQ(found(index, name, v), expected(model, name, v, among)) << name << "=" << v;
}

Model random_model(std::mt19937& rng, size_t n, int64_t values, uint32_t first_id = 1) {
    Model model;
    for (size_t i = 0; i < n; ++i) {
        Attrs attrs;
        for (const char* name : {"a", "b", "c"})
            if (rng() % 4 != 0) attrs[name] = static_cast<int64_t>(rng() % values);
        model[first_id + static_cast<uint32_t>(i) * 3] = attrs;
    }
    return model;
}

// ---------------------------------------------------------------- store

TEST(Stored, ReadsAndWritesAgreeWithAMap) {
    std::mt19937 rng(11);
    Locked<Store> store;
    std::map<uint32_t, PyObject*> model;
    // Ids spread over several blocks of the paged table.
    auto random_id = [&] { return static_cast<uint32_t>(rng() % 3'000'000); };
    for (int round = 0; round < 2000; ++round) {
        const uint32_t id = random_id();
        switch (rng() % 3) {
            case 0:
                put_item(store, id, SharedRef(adopt, object(id)));
                model[id] = object(id);
                break;
            case 1: {
                std::vector<StoredItem> taken = take_items(store, {id});
                ASSERT_EQ(taken[0].get(), model.count(id) ? model[id] : nullptr);
                model.erase(id);
                break;
            }
            default: {
                std::vector<std::pair<uint32_t, StoredItem>> items;
                items.emplace_back(id, SharedRef(adopt, object(id)));
                const bool absent = model.count(id) == 0;
                std::vector<PyObject*> put = put_absent(store, std::move(items));
                ASSERT_EQ(put.size(), absent ? 1u : 0u);
                model[id] = object(id);
            }
        }
    }
    std::vector<PyObject*> all;
    for (const auto& [id, obj] : model) all.push_back(obj);
    EXPECT_EQ(all_stored(store), all);
    EXPECT_EQ(stored_count(store), model.size());

    std::set<uint32_t> asked;
    for (int i = 0; i < 500; ++i) asked.insert(random_id());
    for (size_t i = 0; i < model.size(); i += 2) asked.insert(std::next(model.begin(), i)->first);
    const Bitmap ask = bitmap_of(asked);
    std::vector<PyObject*> want;
    std::vector<uint32_t> live;
    for (uint32_t id : asked)
        if (model.count(id)) {
            want.push_back(model[id]);
            live.push_back(id);
        }
    std::vector<PyObject*> got(asked.size());
    got.resize(gather_stored(store, ask, got.data()));
    EXPECT_EQ(got, want);
    EXPECT_EQ(count_stored(store, ask), want.size());
    EXPECT_EQ(ids_of(stored_among(store, ask)), live);

    std::vector<uint32_t> order(asked.rbegin(), asked.rend());
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(stored_in_order(store, order), want);

    ASSERT_FALSE(model.empty());
    const auto [held_id, held] = *model.begin();
    EXPECT_TRUE(store_holds(store, held_id, held));
    EXPECT_FALSE(store_holds(store, held_id, object(held_id + 1)));
    std::vector<uint32_t> batch_ids{held_id, held_id};
    std::vector<PyObject*> batch{held, object(held_id + 1)};
    EXPECT_EQ(first_not_held(store, batch_ids, batch), 1u);
    batch.pop_back();
    batch_ids.pop_back();
    EXPECT_EQ(first_not_held(store, batch_ids, batch), 1u);  // all held
}

// ---------------------------------------------------------------- registrations

TEST(Registration, FollowsAddRemoveAndRelease) {
    std::vector<std::shared_ptr<IndexAPI>> indexes;
    for (uint32_t d = 0; d < 4; ++d) {
        indexes.push_back(std::make_shared<IndexAPI>(IndexAPI::make()));
        indexes.back()->depth = d;
    }
    Registrations regs;
    add_registration(regs, indexes[2]);
    add_registration(regs, indexes[0]);
    add_registration(regs, indexes[3]);
    add_registration(regs, indexes[2]);  // once only
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_TRUE(
        std::is_sorted(regs.begin(), regs.end(), [](const IndexMeta& a, const IndexMeta& b) {
            return a.index.lock().get() < b.index.lock().get();
        }));
    EXPECT_TRUE(is_registered(regs, indexes[3]));
    EXPECT_FALSE(is_registered(regs, indexes[1]));
    EXPECT_EQ(deepest_depth(regs), 3u);

    // Nested index 3 still holds object 7, nested index 2 does not; index
    // 0 is no nested index and stays whatever its members.
    indexes[3]->member_ids->write()->add(7);
    drop_released(regs, 7);
    EXPECT_TRUE(is_registered(regs, indexes[0]));
    EXPECT_FALSE(is_registered(regs, indexes[2]));
    EXPECT_TRUE(is_registered(regs, indexes[3]));

    remove_registration(regs, indexes[3]);
    remove_registration(regs, indexes[1]);  // not registered: nothing happens
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(deepest_depth(regs), 0u);
    // A registration whose index is gone goes at the next addition.
    std::weak_ptr<IndexAPI> gone = indexes[0];
    indexes[0].reset();
    EXPECT_EQ(deepest_depth(regs), 0u);
    add_registration(regs, indexes[1]);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_FALSE(same_index(regs[0].index, gone));
    EXPECT_TRUE(same_index(regs[0].index, indexes[1]));
}

// ---------------------------------------------------------------- assignment

// Random assignments through `assign_attribute` reach two indexes holding
// the objects, and a nested index that let an object go reports it.
TEST(Assignment, RandomAssignmentsKeepEveryIndexCurrent) {
    std::mt19937 rng(5);
    Model model = random_model(rng, 300, 8);
    auto first = std::make_shared<IndexAPI>(IndexAPI::make());
    auto second = std::make_shared<IndexAPI>(IndexAPI::make());
    std::vector<Entry> entries = entries_of(model);
    add_object_many(*first, entries);
    add_object_many(*second, entries);
    Registrations regs;
    add_registration(regs, first);
    add_registration(regs, second);
    for (int step = 0; step < 2000; ++step) {
        auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        const std::string name(1, static_cast<char>('a' + rng() % 3));
        const PyValue value = num(static_cast<int64_t>(rng() % 8));
        auto had = it->second.find(name);
        const PyValue old = had != it->second.end() ? num(had->second) : PyValue();
        const AssignOutcome out = assign_attribute(
            regs,
            Assignment{it->first, name, had != it->second.end() ? &old : nullptr, value, nullptr});
        EXPECT_FALSE(out.left);
        EXPECT_TRUE(out.entered.empty());
        it->second[name] = value.as_int();
    }
    expect_index(*first, model, 8);
    expect_index(*second, model, 8);

    // A nested registration whose index no longer holds the object is
    // passed over and reported; `update_if_held` refuses it too.
    auto nested = std::make_shared<IndexAPI>(IndexAPI::make());
    nested->depth = 1;
    Registrations with_nested = regs;
    add_registration(with_nested, nested);
    const uint32_t id = model.begin()->first;
    const PyValue nine = num(9);
    const Assignment a{id, "d", nullptr, nine, nullptr};
    AssignOutcome out = assign_attribute(with_nested, a);
    EXPECT_TRUE(out.left);
    EXPECT_EQ(found(*first, "d", 9), std::vector<uint32_t>{id});
    EXPECT_TRUE(found(*nested, "d", 9).empty());
    EXPECT_FALSE(update_if_held(nested, a, out.entered));

    // Catching up reaches only the nested indexes not reached before.
    nested->member_ids->write()->add(id);
    const PyValue ten = num(10);
    catch_up_assignment(with_nested, regs, Assignment{id, "d", &nine, ten, nullptr}, out.entered);
    EXPECT_EQ(found(*nested, "d", 10), std::vector<uint32_t>{id});
    EXPECT_EQ(found(*first, "d", 9), std::vector<uint32_t>{id});
}

TEST(Assignment, ChangedAttributesListsEveryChange) {
    const PyValue one = PyValue::of_other(SharedRef(adopt, object(1)), 1);
    const PyValue two = PyValue::of_other(SharedRef(adopt, object(2)), 2);
    AttrList before, now;
    before.push_back(AttrName::intern("same"), one);
    before.push_back(AttrName::intern("moved"), one);
    before.push_back(AttrName::intern("_hidden"), one);
    now = before;
    now.replace(now.index_of(AttrName::intern("moved")), two);
    now.replace(now.index_of(AttrName::intern("_hidden")), two);
    now.push_back(AttrName::intern("new"), two);
    const std::vector<Changed> changed = changed_attributes(before, now);
    ASSERT_EQ(changed.size(), 2u);
    EXPECT_EQ(changed[0].name->str(), "moved");
    EXPECT_EQ(changed[0].old_value->object(), object(1));
    EXPECT_EQ(changed[0].value->object(), object(2));
    EXPECT_EQ(changed[1].name->str(), "new");
    EXPECT_EQ(changed[1].old_value, nullptr);
}

// ---------------------------------------------------------------- removal

TEST(RemoveObjects, LeavesExactlyTheRest) {
    std::mt19937 rng(9);
    for (int round = 0; round < 5; ++round) {
        Model model = random_model(rng, 400, 6);
        // One name only some leaving objects carry: its map goes with them.
        model.begin()->second["only"] = 1;
        IndexAPI index = IndexAPI::make();
        std::vector<Entry> entries = entries_of(model);
        add_object_many(index, entries);
        std::vector<Leaving> leaving;
        std::set<uint32_t> left_ids;
        for (const Entry& e : entries) {
            if (e.id == model.begin()->first || rng() % 3 == 0) {
                leaving.push_back(Leaving{e.id, e.attrs});
                left_ids.insert(e.id);
            }
        }
        remove_objects(index, leaving);
        for (uint32_t id : left_ids) model.erase(id);
        expect_index(index, model, 6);
        EXPECT_EQ(index.attr_maps->read()->count("only"), 0u);
        std::set<uint32_t> members;
        for (const auto& [id, attrs] : model) members.insert(id);
        EXPECT_EQ(ids_of(index.member_ids->read()->copy()),
                  std::vector<uint32_t>(members.begin(), members.end()));
    }
}

// ---------------------------------------------------------------- reduce

// The binding's reader, over the model: the objects' attribute lists, some
// of them busy, or a reading that fails.
class ModelReader final : public ObjectReader {
public:
    std::map<PyObject*, AttrList> lists;
    std::set<PyObject*> busy;
    bool fail_reading = false;

    void set(uint32_t id, const Attrs& attrs) {
        AttrList& list = lists[object(id)];
        list.clear();
        for (const auto& [name, v] : attrs) list.push_back(AttrName::intern(name), num(v));
    }
    const AttrList* attributes(PyObject* obj) override {
        if (fail_reading) throw std::runtime_error("reading failed");
        return busy.count(obj) != 0 ? nullptr : &lists.at(obj);
    }
    std::unique_ptr<Entry> nested_entry(uint32_t, const PyValue&) override { return nullptr; }
};

TEST(Reduce, KeepsTheSelectedAndReentersTheirMovedPairs) {
    std::mt19937 rng(3);
    Model model = random_model(rng, 200, 4);
    IndexAPI index = IndexAPI::make();
    ModelReader reader;
    for (const auto& [id, attrs] : model) {
        Entry e;
        fill(e, id, attrs);
        add_object(index, e);
        reader.set(id, attrs);
    }
    std::set<uint32_t> selected;
    for (uint32_t id : expected(model, "a", 0)) selected.insert(id);
    ReduceOutcome out = reduce_index(index, HashQuery{{"a", {num(0)}}}, reader);
    ASSERT_FALSE(out.refused);
    expect_index(index, model, 4, &selected);

    // Objects move to a = 0 (the index follows, as assignments do): the
    // pairs of their other attributes were narrowed away, and a second
    // reduce enters them again.
    for (auto& [id, attrs] : model) {
        if (selected.count(id) || rng() % 2) continue;
        auto had = attrs.find("a");
        const PyValue old = had != attrs.end() ? num(had->second) : PyValue();
        auto maps = index.attr_maps->write();
        update_index(*maps, "a", had != attrs.end() ? &old : nullptr, num(0), id, nullptr);
        attrs["a"] = 0;
        reader.set(id, attrs);
    }
    selected.clear();
    for (uint32_t id : expected(model, "a", 0)) selected.insert(id);
    out = reduce_index(index, HashQuery{{"a", {num(0)}}}, reader);
    ASSERT_FALSE(out.refused);
    expect_index(index, model, 4, &selected);
}

TEST(Reduce, RefusalAndFailureChangeNothing) {
    std::mt19937 rng(4);
    Model model = random_model(rng, 100, 3);
    model[1000] = Attrs{{"a", 0}};
    IndexAPI index = IndexAPI::make();
    ModelReader reader;
    for (const auto& [id, attrs] : model) {
        Entry e;
        fill(e, id, attrs);
        add_object(index, e);
        reader.set(id, attrs);
    }
    const HashQuery a0{{"a", {num(0)}}};
    reader.busy.insert(object(1000));
    EXPECT_TRUE(reduce_index(index, a0, reader).refused);
    expect_index(index, model, 3);

    reader.busy.clear();
    reader.fail_reading = true;
    EXPECT_THROW(reduce_index(index, a0, reader), std::runtime_error);
    expect_index(index, model, 3);  // the locks are not broken

    // A selected id without a stored object is a broken invariant.
    reader.fail_reading = false;
    take_items(*index.items, {1000});
    EXPECT_THROW(reduce_index(index, a0, reader), InternalFailure);
    expect_index(index, model, 3);
}

// An assignment may skip the indexes only when they record the new value
// exactly as the old one and every value set is whole: `reduce`, and a union
// with a reduced index, end that for good.
TEST(Assignment, SkipsOnlyValuesRecordedAlikeInWholeSets) {
    auto obj = [](uint32_t k) { return SharedRef(adopt, object(k)); };
    const PyValue one = PyValue::of_int(obj(1), 1, 1);
    EXPECT_TRUE(records_alike(one, one));
    EXPECT_TRUE(records_alike(one, PyValue::of_int(obj(2), 1, 1)));
    EXPECT_FALSE(records_alike(one, PyValue::of_int(obj(2), 2, 2)));
    // One key, but another classification (1.0, True) or another range key.
    EXPECT_FALSE(records_alike(one, PyValue::of_float(obj(3), 1.0, 1)));
    EXPECT_FALSE(records_alike(one, PyValue::int_keyed(obj(4), CastValue::Unknown, 1, 1)));
    EXPECT_FALSE(
        records_alike(PyValue::of_float(obj(5), 0.0, 0), PyValue::of_float(obj(6), -0.0, 0)));
    EXPECT_TRUE(
        records_alike(PyValue::of_float(obj(5), 2.5, 7), PyValue::of_float(obj(6), 2.5, 7)));
    const double nan = std::nan("");
    EXPECT_FALSE(
        records_alike(PyValue::of_float(obj(5), nan, 7), PyValue::of_float(obj(6), nan, 8)));
    EXPECT_TRUE(
        records_alike(PyValue::of_str(obj(7), "abc", 9), PyValue::of_str(obj(8), "abc", 9)));
    EXPECT_FALSE(
        records_alike(PyValue::of_str(obj(7), "abc", 9), PyValue::of_str(obj(8), "abd", 9)));
    EXPECT_TRUE(records_alike(PyValue::int_keyed(obj(9), CastValue::Unknown, 1, 1),
                              PyValue::int_keyed(obj(10), CastValue::Unknown, 1, 1)));
    // Nested objects and equality classes: only the very object.
    const PyValue nested = PyValue::of_indexable(obj(11), 11, 5);
    EXPECT_TRUE(records_alike(nested, nested));
    EXPECT_FALSE(records_alike(nested, PyValue::of_indexable(obj(12), 12, 5)));
    EqualityClass cls;  // its own count keeps it from ever being dropped
    auto in_class = [&](uint32_t k) {
        cls.count.fetch_add(1);
        return PyValue::of_other(obj(k), 3, ClassRef(adopt, &cls));
    };
    const PyValue tuple = in_class(13);
    EXPECT_TRUE(records_alike(tuple, tuple));
    EXPECT_FALSE(records_alike(tuple, in_class(14)));

    std::mt19937 rng(4);
    Model model = random_model(rng, 50, 4);
    auto reduced = std::make_shared<IndexAPI>(IndexAPI::make());
    auto whole = std::make_shared<IndexAPI>(IndexAPI::make());
    auto merged = std::make_shared<IndexAPI>(IndexAPI::make());
    for (const Entry& e : entries_of(model)) {
        add_object(*reduced, e);
        add_object(*whole, e);
    }
    Registrations regs;
    add_registration(regs, reduced);
    add_registration(regs, whole);
    EXPECT_TRUE(sets_complete(regs));
    ModelReader reader;
    for (const auto& [id, attrs] : model) reader.set(id, attrs);
    ASSERT_FALSE(reduce_index(*reduced, HashQuery{{"a", {num(0)}}}, reader).refused);
    EXPECT_TRUE(reduced->narrowed.raised());
    EXPECT_FALSE(whole->narrowed.raised());
    EXPECT_FALSE(sets_complete(regs));
    Registrations others;
    add_registration(others, whole);
    add_registration(others, merged);
    // A nested index is never narrowed, whatever its flag says.
    auto deep = std::make_shared<IndexAPI>(IndexAPI::make());
    deep->depth = 1;
    deep->narrowed.raise();
    add_registration(others, deep);
    EXPECT_TRUE(sets_complete(others));
    union_with(*merged, *whole);
    EXPECT_TRUE(sets_complete(others));
    union_with(*merged, *reduced);
    EXPECT_TRUE(merged->narrowed.raised());
    EXPECT_FALSE(sets_complete(others));
}

// ---------------------------------------------------------------- rebuilding

TEST(BuildIndex, HoldsEveryEntryWithHiddenNames) {
    std::vector<std::unique_ptr<Entry>> entries;
    for (uint32_t id : {4u, 8u, 15u}) {
        entries.push_back(std::make_unique<Entry>());
        fill(*entries.back(), id, Attrs{{"a", id % 2}, {"_h", 1}});
    }
    Rebuilt built = build_index(entries);
    const IndexAPI& index = *built.index;
    EXPECT_TRUE(built.entered.empty());
    EXPECT_EQ(ids_of(index.member_ids->read()->copy()), (std::vector<uint32_t>{4, 8, 15}));
    EXPECT_EQ(all_stored(*index.items), (std::vector<PyObject*>{object(4), object(8), object(15)}));
    EXPECT_EQ(found(index, "a", 0), (std::vector<uint32_t>{4, 8}));
    EXPECT_EQ(found(index, "_h", 1), (std::vector<uint32_t>{4, 8, 15}));
}

TEST(BuildIndex, RemovalWithdrawsTheHiddenPairsAsEntered) {
    std::vector<std::unique_ptr<Entry>> entries;
    for (uint32_t id : {4u, 8u}) {
        entries.push_back(std::make_unique<Entry>());
        fill(*entries.back(), id, Attrs{{"a", 1}, {"_h", id}});
    }
    Rebuilt built = build_index(entries);
    // Hidden names do not follow assignments: object 4 leaves holding
    // another "_h" than the one entered, and its entered pair leaves too.
    AttrList now;
    now.push_back(AttrName::intern("a"), num(1));
    now.push_back(AttrName::intern("_h"), num(99));
    remove_objects(*built.index, {Leaving{4, &now}});
    EXPECT_EQ(found(*built.index, "_h", 4), std::vector<uint32_t>{});
    EXPECT_EQ(found(*built.index, "_h", 8), std::vector<uint32_t>{8});
    EXPECT_EQ(built.index->recorded.count(4), 0u);
    take_items(*built.index->items, {4});
    validate_record(*built.index);
}

// ---------------------------------------------------------------- union

// Holder `id` holding leaf `leaf` under "n", the leaf holding `c`.
std::unique_ptr<Entry> holder_entry(uint32_t id, uint32_t leaf, int64_t c) {
    auto e = std::make_unique<Entry>();
    e->id = id;
    e->item = SharedRef(adopt, object(id));
    e->own().push_back(AttrName::intern("n"),
                       PyValue::of_indexable(SharedRef(adopt, object(leaf)), leaf, leaf));
    auto inner = std::make_unique<Entry>();
    fill(*inner, leaf, Attrs{{"c", c}});
    e->nested.emplace_back(0, std::move(inner));
    return e;
}

// The nested objects new to a union's target come with the pairs the
// source recorded, reported with those pairs for the binding to compare
// with the objects' current attributes; a nested object the target holds
// already keeps the target's pairs, whatever the source recorded (an
// assignment may have reached one index and not yet the other).
TEST(Union, NestedLevelCopiesOnlyTheObjectsNewToTheTarget) {
    auto target = std::make_shared<IndexAPI>(IndexAPI::make());
    IndexAPI source = IndexAPI::make();
    add_object(*target, *holder_entry(1, 10, 1));
    add_object(source, *holder_entry(2, 10, 0));
    add_object(source, *holder_entry(3, 11, 5));
    put_item(*target->items, 2, SharedRef(adopt, object(2)));
    put_item(*target->items, 3, SharedRef(adopt, object(3)));
    EnteredList entered;
    union_with(*target, source, &entered);
    validate_record(*target);
    std::shared_ptr<IndexAPI> nested = target->attr_maps->read()->at("n")->nested;
    EXPECT_EQ(found(*nested, "c", 1), std::vector<uint32_t>{10});
    EXPECT_EQ(found(*nested, "c", 0), std::vector<uint32_t>{});
    EXPECT_EQ(found(*nested, "c", 5), std::vector<uint32_t>{11});
    ASSERT_EQ(entered.size(), 1u);
    EXPECT_EQ(entered[0].item.get(), object(11));
    EXPECT_EQ(entered[0].entry, nullptr);
    ASSERT_NE(entered[0].snapshot, nullptr);
    ASSERT_EQ(entered[0].snapshot->size(), 1u);
    EXPECT_EQ((*entered[0].snapshot)[0].first.str(), "c");
    EXPECT_TRUE((*entered[0].snapshot)[0].second.same_key(num(5)));
    // Releasing a holder releases its leaf, and nothing else.
    AttrList held = *holder_entry(3, 11, 5)->attrs;
    remove_objects(*target, {Leaving{3, &held}});
    EXPECT_EQ(found(*nested, "c", 5), std::vector<uint32_t>{});
    EXPECT_EQ(found(*nested, "c", 1), std::vector<uint32_t>{10});
    take_items(*target->items, {3});
    validate_record(*target);
}

// ---------------------------------------------------------------- cycles

PyValue link(uint32_t id) { return PyValue::of_indexable(SharedRef(adopt, object(id)), id, id); }

// Objects holding "x" (a number) and "n" (another object): `ring` lists
// each object's "n", read from `first` as the binding reads it (each
// object once, met again a loop to its entry).
struct Ring {
    std::map<uint32_t, std::pair<int64_t, uint32_t>> objects;  // id -> (x, n)
    std::map<uint32_t, AttrList> lists;

    const AttrList& list(uint32_t id) {
        AttrList& l = lists[id];
        l = AttrList();
        l.push_back(AttrName::intern("x"), num(objects.at(id).first));
        l.push_back(AttrName::intern("n"), link(objects.at(id).second));
        return l;
    }
    std::unique_ptr<Entry> read_new(uint32_t id, std::map<uint32_t, const Entry*>& seen) {
        auto e = std::make_unique<Entry>();
        e->id = id;
        seen[id] = e.get();
        e->item = SharedRef(adopt, object(id));
        e->attrs = &list(id);
        e->nested.emplace_back(1, read(objects.at(id).second, seen));
        return e;
    }
    NestedEntry read(uint32_t id, std::map<uint32_t, const Entry*>& seen) {
        auto it = seen.find(id);
        if (it != seen.end()) return NestedEntry::loop(it->second);
        return read_new(id, seen);
    }
    std::unique_ptr<Entry> read(uint32_t id) {
        std::map<uint32_t, const Entry*> seen;
        return read_new(id, seen);
    }
    // The members whose path of `steps` links ends at an "x" of `x`.
    std::vector<uint32_t> walk(const std::set<uint32_t>& members, int steps, int64_t x) const {
        std::vector<uint32_t> out;
        for (uint32_t id : members) {
            uint32_t at = id;
            for (int i = 0; i < steps; ++i) at = objects.at(at).second;
            if (objects.at(at).first == x) out.push_back(id);
        }
        return out;
    }
};

QueryExpr path_eq(int steps, int64_t x) {
    QueryExpr e;
    e.op = QueryExpr::Op::Eq;
    for (int i = 0; i < steps; ++i) e.attr += "n.";
    e.attr += "x";
    e.values.push_back(num(x));
    return e;
}

// A cycle nests only as deep as the chain that closed it: what a loop
// reaches goes once to the cycle index the whole index shares, and dotted
// paths through it answer as the walk does, however the holders were
// entered; holders leaving take it with them.
TEST(Cycle, LoopsAnswerAsTheWalkAndLeaveWithTheirHolders) {
    Ring ring;
    ring.objects = {{1, {1, 2}}, {2, {2, 3}}, {3, {3, 1}}, {4, {0, 2}}, {5, {5, 5}}};
    auto index = std::make_shared<IndexAPI>(IndexAPI::make());
    std::set<uint32_t> members;
    std::vector<std::unique_ptr<Entry>> kept;
    for (uint32_t id : {1u, 4u, 5u, 3u}) {
        kept.push_back(ring.read(id));
        EnteredList entered;
        add_object(*index, *kept.back(), true, &entered);
        members.insert(id);
        validate_record(*index);
        for (int steps = 0; steps < 8; ++steps)
            for (int64_t x : {0, 1, 2, 3, 5})
                EXPECT_EQ(ids_of(reduced_query(*index, path_eq(steps, x))),
                          ring.walk(members, steps, x))
                    << steps << " steps to " << x;
    }
    {
        auto maps = index->attr_maps->read();
        std::vector<ValueCount> counts = value_counts(*maps, "n.n.n.x", *index->member_ids->read());
        std::map<int64_t, uint64_t> want;
        for (uint32_t id : members) {
            uint32_t at = id;
            for (int i = 0; i < 3; ++i) at = ring.objects.at(at).second;
            ++want[ring.objects.at(at).first];
        }
        ASSERT_EQ(counts.size(), want.size());
        for (const auto& [x, n] : want)
            EXPECT_TRUE(std::any_of(counts.begin(), counts.end(), [&](const ValueCount& c) {
                return c.value.same_key(num(x)) && c.count == n;
            })) << x;
    }
    ASSERT_TRUE(index->cycle);
    EXPECT_EQ(index->cycle->member_ids->read()->cardinality(), 4u);  // 1, 2, 3 and 5
    // A broken root count is found.
    {
        auto maps = index->cycle->attr_maps->write();
        ++index->cycle->roots.begin()->second;
    }
    EXPECT_THROW(validate_record(*index), InternalFailure);
    {
        auto maps = index->cycle->attr_maps->write();
        --index->cycle->roots.begin()->second;
    }
    validate_record(*index);
    for (uint32_t id : {1u, 4u, 5u, 3u}) {
        remove_objects(*index, {Leaving{id, &ring.lists.at(id)}});
        take_items(*index->items, {id});
        members.erase(id);
        validate_record(*index);
        for (int steps = 0; steps < 5; ++steps)
            EXPECT_EQ(ids_of(reduced_query(*index, path_eq(steps, 2))),
                      ring.walk(members, steps, 2));
    }
    EXPECT_TRUE(index->cycle->member_ids->read()->empty());
    EXPECT_TRUE(index->cycle->roots.empty());
}

// ---------------------------------------------------------------- lookups

TEST(Lookup, AnswersWithinSelectedIdsOrMembers) {
    std::mt19937 rng(8);
    Model model = random_model(rng, 300, 5);
    IndexAPI index = IndexAPI::make();
    std::vector<Entry> entries = entries_of(model);
    add_object_many(index, entries);
    std::set<uint32_t> chosen;
    for (const auto& [id, attrs] : model)
        if (rng() % 2) chosen.insert(id);
    const Bitmap selected = bitmap_of(chosen);
    const Universe views[] = {Universe{&selected, nullptr},
                              Universe{nullptr, index.member_ids.get()}};
    for (const Universe& u : views) {
        const std::set<uint32_t>* among = u.selected ? &chosen : nullptr;
        // Keyword filters and expressions.
        EXPECT_EQ(ids_of(filter_within(*index.attr_maps, HashQuery{{"b", {num(2)}}}, u.selected)),
                  expected(model, "b", 2, among));
        QueryExpr eq;
        eq.op = QueryExpr::Op::Eq;
        eq.attr = "c";
        eq.values.push_back(num(3));
        EXPECT_EQ(ids_of(evaluate_within(*index.attr_maps, u, eq)), expected(model, "c", 3, among));
        // Ordering by a, ids breaking ties, objects without a last.
        std::vector<std::pair<int64_t, uint32_t>> by_a;
        std::map<int64_t, uint64_t> counts;
        for (const auto& [id, attrs] : model) {
            if (among && !among->count(id)) continue;
            auto it = attrs.find("a");
            if (it == attrs.end()) continue;
            by_a.emplace_back(it->second, id);
            ++counts[it->second];
        }
        std::sort(by_a.begin(), by_a.end());
        std::vector<uint32_t> want;
        for (const auto& [v, id] : by_a) want.push_back(id);
        std::vector<uint32_t> got = ordered_within(*index.attr_maps, u, "a", false, SIZE_MAX);
        got.resize(std::min(got.size(), want.size()));
        std::vector<std::pair<int64_t, uint32_t>> got_pairs;
        for (uint32_t id : got) got_pairs.emplace_back(model[id].at("a"), id);
        EXPECT_TRUE(std::is_sorted(got_pairs.begin(), got_pairs.end(),
                                   [](const auto& x, const auto& y) { return x.first < y.first; }));
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
        // Value counts.
        std::map<int64_t, uint64_t> got_counts;
        for (const ValueCount& c : value_counts_within(*index.attr_maps, u, "a"))
            got_counts[c.value.as_int()] += c.count;
        EXPECT_EQ(got_counts, counts);
    }
}

// ---------------------------------------------------------------- batch fill

// A batch large enough to be filled on two threads enters what entering
// its objects one by one enters.
TEST(AddObjectMany, LargeBatchMatchesOneByOne) {
    std::mt19937 rng(2);
    Model model = random_model(rng, 90'000, 50);
    std::vector<Entry> entries = entries_of(model);
    IndexAPI batch = IndexAPI::make();
    add_object_many(batch, entries);
    IndexAPI single = IndexAPI::make();
    for (const Entry& e : entries) add_object(single, e, false);
    for (const char* name : {"a", "b", "c"}) {
        for (int64_t v = 0; v < 50; v += 7) {
            const std::vector<uint32_t> want = expected(model, name, v);
            ASSERT_EQ(found(batch, name, v), want);
            ASSERT_EQ(found(single, name, v), want);
        }
        QueryExpr above;
        above.op = QueryExpr::Op::Gt;
        above.attr = name;
        above.values.push_back(num(40));
        const Universe all{nullptr, batch.member_ids.get()};
        const Universe all_single{nullptr, single.member_ids.get()};
        EXPECT_EQ(ids_of(evaluate_within(*batch.attr_maps, all, above)),
                  ids_of(evaluate_within(*single.attr_maps, all_single, above)));
    }
}

}  // namespace
}  // namespace corvane
