#include "engine/record.hpp"

#include <absl/container/flat_hash_set.h>
#include <absl/strings/string_view.h>

#include <string>
#include <utility>

#include "engine/attr_list.hpp"
#include "engine/operations.hpp"
#include "engine/query_map.hpp"
#include "structures/failure.hpp"

namespace corvane {

IndexAPI IndexAPI::make() {
    IndexAPI index;
    index.attr_maps = std::make_shared<Locked<AttrMaps>>();
    index.items = std::make_shared<Locked<Store>>();
    index.member_ids = std::make_shared<Locked<Bitmap>>();
    return index;
}

const std::shared_ptr<IndexAPI>& default_index_arc() {
    // Deliberately leaked: it lives for the whole process.
    static auto* arc = new std::shared_ptr<IndexAPI>(std::make_shared<IndexAPI>(IndexAPI::make()));
    return *arc;
}

namespace {

[[noreturn]] void broken(const std::string& where, const std::string& what) {
    fail("invalid index record: " + where + ": " + what);
}

uint32_t first_id(const Bitmap& ids) {
    bool found = false;
    uint32_t first = 0;
    ids.for_each([&](uint32_t id) {
        if (!found) first = id;
        found = true;
    });
    return first;
}

// Run `check`, naming `where` in front of the failure it raises.
template <class F>
void within(const std::string& where, F&& check) {
    try {
        check();
    } catch (const InternalFailure& e) {
        broken(where, e.message());
    }
}

class RecordValidator {
public:
    explicit RecordValidator(const RecordCheck& check) : check_(check) {}

    void record(const IndexAPI& index, const std::string& where, bool nested) {
        auto maps = index.attr_maps->read();
        Bitmap members;
        {
            auto ids = index.member_ids->read();
            members = ids->copy();
        }
        auto store = index.items->read();
        recorded_ids(index, maps_names(*maps), members, where);
        parts(*maps, *store, &members, index.depth, where, nested, &index.recorded);
    }

    // `members` null: those of the store.  `recorded`: the pairs the index
    // recorded (none for a view, whose index keeps them).
    void parts(const AttrMaps& maps, const Store& store, const Bitmap* members, uint32_t depth,
               const std::string& where, bool nested, const Recorded* recorded) {
        within(where + ".store", [&] { store.validate(); });
        Bitmap stored;
        store.for_each_id([&](uint32_t id, PyObject*) { stored.add(id); });
        if (members == nullptr) {
            members = &stored;
        } else if (!(stored == *members)) {
            Bitmap odd = stored.andnot(*members);
            if (!odd.empty())
                broken(where,
                       "stored object " + std::to_string(first_id(odd)) + " is not a member");
            odd = members->andnot(stored);
            broken(where, "member " + std::to_string(first_id(odd)) + " has no stored object");
        }
        if (check_.read) names_have_maps(maps, store, where);
        for (const auto& [name, map] : maps) {
            const std::string at = where + ".maps[" + debug_str(name) + "]";
            MapContext context{members, nested, check_.acyclic, depth, {}, nullptr, {}};
            if (check_.read && !hidden_name(name)) context.held = held_under(store, name);
            // A nested index records every pair, the top only those of
            // hidden names.
            if (recorded != nullptr && (depth > 0 || hidden_name(name))) {
                context.recorded = recorded;
                context.name = name;
            }
            within(at, [&] { map->validate(context); });
            if (map->cycle && !map->looped.empty()) {
                auto& counts = looped_[map->cycle];
                map->looped.for_each([&](uint32_t id) { ++counts[id]; });
            }
            record(*map->nested, at + ".nested", true);
        }
    }

    // Each cycle index met (and `also`, when set): the objects it holds
    // are exactly those its roots reach, and its roots those the maps
    // loop, each counted once per map; then its own record.
    void cycles(const std::shared_ptr<IndexAPI>& also, const std::string& where) {
        if (also) looped_.try_emplace(also);
        size_t n = 0;
        for (const auto& [cycle, counts] : looped_) {
            const std::string at = where + ".cycle" + (n++ == 0 ? "" : std::to_string(n));
            {
                auto maps = cycle->attr_maps->read();
                Bitmap members;
                {
                    auto ids = cycle->member_ids->read();
                    members = ids->copy();
                }
                if (!cycle->closed) broken(at, "not closed");
                for (const auto& [id, count] : counts) {
                    auto it = cycle->roots.find(id);
                    const uint32_t have = it == cycle->roots.end() ? 0 : it->second;
                    if (have != count)
                        broken(at, "object " + std::to_string(id) + " is looped by " +
                                       std::to_string(count) + " maps but counted " +
                                       std::to_string(have) + " times");
                }
                for (const auto& [id, count] : cycle->roots)
                    if (!counts.contains(id))
                        broken(at, "root " + std::to_string(id) + " is looped by no map");
                Bitmap stray = members.andnot(reachable_in_cycle(*cycle, members));
                if (!stray.empty())
                    broken(at, "object " + std::to_string(stray.maximum()) +
                                   " is reached from no root");
            }
            record(*cycle, at, true);
        }
    }

private:
    // How many maps loop each object, per cycle index.
    absl::flat_hash_map<std::shared_ptr<IndexAPI>, absl::flat_hash_map<uint32_t, uint32_t>> looped_;

    static absl::flat_hash_set<std::string> maps_names(const AttrMaps& maps) {
        absl::flat_hash_set<std::string> names;
        for (const auto& [name, map] : maps) names.insert(name);
        return names;
    }

    // The recorded pairs belong to members (to every member, of a nested
    // index), under names that have maps: every name but the hidden ones in
    // a nested index, the hidden ones alone at the top.
    static void recorded_ids(const IndexAPI& index, const absl::flat_hash_set<std::string>& names,
                             const Bitmap& members, const std::string& where) {
        for (const auto& [id, pairs] : index.recorded) {
            const std::string what = "the pairs recorded for id " + std::to_string(id);
            if (!members.contains(id)) broken(where, what + ", not a member");
            for (const auto& [name, value] : pairs) {
                if (hidden_name(name.view()) != (index.depth == 0))
                    broken(where, what + " hold a pair under " + debug_str(name.view()));
                if (!names.contains(name.str()))
                    broken(where, what + " hold a pair under " + debug_str(name.view()) +
                                      ", which has no map");
            }
        }
        if (index.depth > 0 && index.recorded.size() != members.cardinality())
            members.for_each([&](uint32_t id) {
                if (!index.recorded.contains(id))
                    broken(where, "member " + std::to_string(id) + " has no pairs recorded");
            });
    }

    // Numbers, texts and nested objects are recorded however narrowed the value
    // sets are: a name under which an object holds one has a map.
    void names_have_maps(const AttrMaps& maps, const Store& store, const std::string& where) {
        store.for_each_id([&](uint32_t id, PyObject* obj) {
            const AttrList* attrs = check_.read(obj);
            if (attrs == nullptr) return;
            for (const auto& [name, value] : *attrs) {
                if (hidden_name(name.view())) continue;
                if (!value.is_numeric() && value.kind() != CastValue::Ind &&
                    value.key_kind() != KeyKind::Text)
                    continue;
                if (!maps.contains(absl::string_view(name.view().data(), name.view().size())))
                    broken(where, "id " + std::to_string(id) + " holds " + value.debug() +
                                      " under " + debug_str(name.view()) + ", which has no map");
            }
        });
    }

    std::function<HeldValue(uint32_t)> held_under(const Store& store, const std::string& name) {
        return [this, &store, key = AttrName::intern(name)](uint32_t id) {
            PyObject* obj = store.get(id);
            const AttrList* attrs = obj != nullptr ? check_.read(obj) : nullptr;
            if (attrs == nullptr) return HeldValue{};
            return HeldValue{true, attrs->find(key)};
        };
    }

    const RecordCheck& check_;
};

}  // namespace

void validate_record(const IndexAPI& index, const RecordCheck& check) {
    RecordValidator validator(check);
    validator.record(index, "index", index.depth > 0);
    if (index.depth == 0) validator.cycles(index.cycle, "index");
}

void validate_shared(const Locked<AttrMaps>& maps, const Locked<Store>& items,
                     const RecordCheck& check) {
    auto m = maps.read();
    auto store = items.read();
    RecordValidator validator(check);
    validator.parts(*m, *store, nullptr, 0, "view", false, nullptr);
    m.unlock();
    store.unlock();
    validator.cycles(nullptr, "view");
}

}  // namespace corvane
