#include "engine/assignment.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>

#include "engine/operations.hpp"

namespace corvane {

namespace {

// Update one index under its locks; with `only_if_held`, only when its
// member ids still hold the object.
bool update_one(const std::shared_ptr<IndexAPI>& shared, const Assignment& a, bool only_if_held,
                EnteredList& entered) {
    IndexAPI& index = *shared;
    auto maps = index.attr_maps->write();
    if (only_if_held && !index.member_ids->read()->contains(a.id)) return false;
    if (index.depth == 0 || hidden_name(a.name)) {
        update_index(*maps, a.name, a.old_value, a.new_value, a.id, a.nested, &entered, &index);
        return true;
    }
    // A nested index moves the pair it recorded, which is the value the
    // object held when the index last followed it, whatever the object's
    // list said when this assignment read it.
    RecordedPairs& pairs = index.recorded[a.id];
    auto at = std::find_if(pairs.begin(), pairs.end(),
                           [&](const Attr& p) { return p.first.view() == a.name; });
    const PyValue* old = at != pairs.end() ? &at->second : nullptr;
    update_index(*maps, a.name, old, a.new_value, a.id, a.nested, &entered, &index);
    // A cycle index enters what a new nested object reaches, and lets go
    // of what the old one alone reached.
    const bool left_object =
        old != nullptr && old->kind() == CastValue::Ind &&
        !(a.new_value.kind() == CastValue::Ind && a.new_value.nested_id() == old->nested_id());
    const uint32_t old_id = left_object ? old->nested_id() : 0;
    if (at != pairs.end()) {
        at->second = a.new_value;
    } else {
        pairs.emplace_back(AttrName::intern(a.name), a.new_value);
    }
    if (index.closed) {
        if (a.new_value.kind() == CastValue::Ind && a.nested != nullptr)
            enter_reachable(shared, *maps, *a.nested, &entered);
        if (left_object) {
            Bitmap left;
            left.add(old_id);
            sweep_cycle(index, *maps, left);
        }
    }
    return true;
}

}  // namespace

bool records_alike(const PyValue& prev, const PyValue& next) noexcept {
    if (prev.object() == next.object()) return true;
    if (prev.kind() != next.kind() || prev.key_kind() != next.key_kind()) return false;
    switch (next.kind()) {
        case CastValue::Int:
        case CastValue::Str: return prev.same_key(next);
        case CastValue::Float:
            return prev.same_key(next) && std::bit_cast<uint64_t>(prev.as_float()) ==
                                              std::bit_cast<uint64_t>(next.as_float());
        case CastValue::Unknown:
            // Not ordered (those are `Ordered`): a key of a number, a text or
            // an identity is the whole record.
            return next.key_kind() != KeyKind::Class && prev.same_key(next);
        case CastValue::Ind:
        case CastValue::Ordered: return false;
    }
    return false;
}

bool sets_complete(const Registrations& reached) noexcept {
    if (!IndexAPI::narrowed_anywhere.raised()) return true;
    for (const IndexMeta& meta : reached) {
        std::shared_ptr<IndexAPI> index = meta.index.lock();
        if (index && !is_nested(*index) && index->narrowed.raised()) return false;
    }
    return true;
}

AssignOutcome assign_attribute(const Registrations& reached, const Assignment& a) {
    AssignOutcome out;
    for (const IndexMeta& meta : reached) {
        std::shared_ptr<IndexAPI> index = meta.index.lock();
        if (!index) continue;
        if (!update_one(index, a, is_nested(*index), out.entered)) out.left = true;
    }
    return out;
}

void catch_up_assignment(const Registrations& now, const Registrations& reached,
                         const Assignment& a, EnteredList& entered) {
    for (const IndexMeta& meta : now) {
        if (is_registered(reached, meta.index)) continue;
        std::shared_ptr<IndexAPI> index = meta.index.lock();
        if (index && is_nested(*index)) update_one(index, a, true, entered);
    }
}

bool update_if_held(const std::shared_ptr<IndexAPI>& index, const Assignment& a,
                    EnteredList& entered) {
    return update_one(index, a, true, entered);
}

std::vector<Changed> changed_attributes(const AttrList& before, const AttrList& now) {
    std::vector<Changed> changed;
    for (const auto& [name, value] : now) {
        if (hidden_name(name.view())) continue;
        const PyValue* old = nullptr;
        for (const auto& [n, v] : before)
            if (n == name) old = &v;
        if (old != nullptr && old->object() == value.object()) continue;
        changed.push_back(Changed{&name, old, &value});
    }
    return changed;
}

}  // namespace corvane
