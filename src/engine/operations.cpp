#include "engine/operations.hpp"

#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <exception>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "engine/query_map.hpp"

namespace corvane {

RecordedPairs recorded_pairs(const AttrList& attrs, bool hidden) {
    RecordedPairs pairs;
    for (const auto& [name, value] : attrs)
        if (hidden_name(name.view()) == hidden) pairs.emplace_back(name, value);
    return pairs;
}

void enter_attributes(AttrMaps& maps, const Entry& entry, bool include_hidden, EnteredList* entered,
                      IndexAPI* owner) {
    const AttrList& attrs = *entry.attrs;
    for (size_t i = 0; i < attrs.size(); ++i) {
        const auto& [name, value] = attrs[i];
        if (!include_hidden && hidden_name(name.view())) continue;
        add_index_value(maps, entry.id, name.str(), value,
                        value.kind() == CastValue::Ind ? entry.nested_for(i) : nullptr, entered,
                        owner);
    }
}

void add_index_value(AttrMaps& maps, uint32_t id, const std::string& name, const PyValue& value,
                     const Entry* nested, EnteredList* entered, IndexAPI* owner) {
    map_for(maps, name, owner).insert(value, id, nested, entered);
}

void add_object(IndexAPI& index, const Entry& entry, bool put_item, EnteredList* entered) {
    {
        auto ids = index.member_ids->write();
        ids->add(entry.id);
    }
    if (put_item) {
        auto store = index.items->write();
        store->put(entry.id, entry.item);
    }
    auto maps = index.attr_maps->write();
    enter_attributes(*maps, entry, false, entered, &index);
    if (index.depth > 0) index.recorded[entry.id] = recorded_pairs(*entry.attrs, false);
}

namespace {

// Pairs in a batch (counting range pairs twice) from which its value maps
// are filled on two threads.
constexpr size_t kParallelPairs = 200000;

// A pair of a batch bound for one value map.
struct BatchPair {
    const PyValue* value;
    uint32_t id;
};

// The pairs of a batch bound for one value map, grouped by value: each
// distinct value once, in the order it first appears, with its ids in batch
// order.  Entering the groups looks each value up once in the map, sizes the
// map once for the values new to it, and adds the ids of a value together.
class ValueGroups {
public:
    void group(const std::vector<BatchPair>& pairs) {
        values_.clear();
        hashes_.clear();
        slots_.assign(16, 0);
        shift_ = 60;
        member_of_.resize(pairs.size());
        for (size_t i = 0; i < pairs.size(); ++i) member_of_[i] = group_of(pairs[i].value);
        // Counting sort of the ids by group, stable: start_[g + 2] counts
        // group g, then start_[g + 1] is where it begins, and after the
        // scatter where it ends.
        start_.assign(values_.size() + 2, 0);
        for (uint32_t g : member_of_) ++start_[g + 2];
        for (size_t g = 2; g < start_.size(); ++g) start_[g] += start_[g - 1];
        ids_.resize(pairs.size());
        for (size_t i = 0; i < pairs.size(); ++i) ids_[start_[member_of_[i] + 1]++] = pairs[i].id;
    }
    size_t size() const noexcept { return values_.size(); }
    const PyValue& value(size_t g) const noexcept { return *values_[g]; }
    const uint32_t* ids(size_t g) const noexcept { return ids_.data() + start_[g]; }
    size_t count(size_t g) const noexcept { return start_[g + 1] - start_[g]; }

private:
    size_t slot_for(size_t hash) const noexcept {
        return static_cast<size_t>((static_cast<uint64_t>(hash) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    // The group of `value`, a new one when no value before is its key.
    uint32_t group_of(const PyValue* value) {
        const size_t hash = PyValueHash{}(*value);
        const size_t mask = slots_.size() - 1;
        for (size_t pos = slot_for(hash);; pos = (pos + 1) & mask) {
            const uint32_t s = slots_[pos];
            if (s == 0) {
                const auto g = static_cast<uint32_t>(values_.size());
                values_.push_back(value);
                hashes_.push_back(hash);
                slots_[pos] = g + 1;
                // At most half full keeps the probe sequences short.
                if (2 * values_.size() > slots_.size()) grow();
                return g;
            }
            if (hashes_[s - 1] == hash && PyValueEq{}(*values_[s - 1], *value)) return s - 1;
        }
    }
    void grow() {
        slots_.assign(2 * slots_.size(), 0);
        --shift_;
        const size_t mask = slots_.size() - 1;
        for (size_t g = 0; g < values_.size(); ++g) {
            size_t pos = slot_for(hashes_[g]);
            while (slots_[pos] != 0) pos = (pos + 1) & mask;
            slots_[pos] = static_cast<uint32_t>(g + 1);
        }
    }

    std::vector<const PyValue*> values_;  // the first value of each group
    std::vector<size_t> hashes_;          // and its hash
    std::vector<uint32_t> slots_;         // open addressing: a group + 1, 0 when free
    unsigned shift_ = 60;                 // 64 - log2(slots_.size())
    std::vector<uint32_t> member_of_;     // the group of each pair
    std::vector<uint32_t> start_;         // where each group's ids begin in ids_
    std::vector<uint32_t> ids_;
};

}  // namespace

namespace {

// The pairs of a batch bound for one map.
struct Batch {
    std::vector<BatchPair> pairs;
    size_t numeric = 0;
    // Element keys of the tuple and frozenset values, one per pair.
    size_t elements = 0;
    // Where the range pairs wait for the batch's last run, or null to enter
    // them now.
    PendingRanges::Held* held_ranges = nullptr;
    // The objects of the whole batch (see `PendingRanges::expected`).
    size_t expected = 0;
    // A run of a larger batch (see `FillBuffers::run`).
    bool run = false;
    // The work of filling its map: a range pair counts twice.
    size_t load() const noexcept { return pairs.size() + numeric + elements; }
};
// Node-based: the batches do not move while they are being gathered.
using Batches = std::unordered_map<QueryMap*, Batch>;
using MapWork = std::vector<std::pair<QueryMap*, Batch*>>;

// Gather the pairs of `entries` by the map they are bound for (creating the
// maps they need).  Values that are `Indexable` objects are entered as they
// come, in batch order (with the nested objects they bring); the others
// are left for the maps to be filled from.
Batches gather_batch(AttrMaps& maps, std::span<const Entry> entries, IndexAPI* owner,
                     EnteredList* entered) {
    // Objects of one batch usually carry the same names in the same order:
    // remember the map found at each position to skip most name lookups.
    struct Target {
        AttrName name;
        QueryMap* map = nullptr;  // owned by `maps`, stable while it lives
        Batch* batch = nullptr;
    };
    std::vector<Target> recent;
    Batches batches;
    for (size_t k = 0; k < entries.size(); ++k) {
        const Entry& entry = entries[k];
        const AttrList& attrs = *entry.attrs;
        if (recent.size() < attrs.size()) recent.resize(attrs.size());
        for (size_t i = 0; i < attrs.size(); ++i) {
            const auto& [name, value] = attrs[i];
            if (hidden_name(name.view())) continue;
            Target& t = recent[i];
            if (t.map == nullptr || !(t.name == name)) {
                t.name = name;
                t.map = &map_for(maps, name.view(), owner);
                auto [it, made] = batches.try_emplace(t.map);
                t.batch = &it->second;
                // Room for a pair from each object left, made once instead of
                // growing (and copying) the list as it fills: the part
                // objects without the name leave unused is never touched.
                if (made) t.batch->pairs.reserve(entries.size() - k);
            }
            if (value.kind() == CastValue::Ind) {
                t.map->insert(value, entry.id, entry.nested_for(i), entered);
            } else {
                t.batch->pairs.push_back(BatchPair{&value, entry.id});
                if (value.is_numeric()) ++t.batch->numeric;
                if (const auto* keys = value.elements()) t.batch->elements += keys->size();
            }
        }
    }
    return batches;
}

// What filling maps one after another reuses from one map to the next.
struct FillBuffers {
    // The values are copied a run at a time into a small buffer, then moved
    // into the map: the copies take their shared counts (locked increments)
    // in batch order without waiting for the scattered writes into the map,
    // and the map's memory is fetched ahead.
    static constexpr size_t kCopyRun = 512, kAhead = 16;
    ValueGroups groups;
    std::vector<CompositeKey128> pending;
    std::vector<PyValue> copies;
    std::vector<BatchPair> element_pairs;
    // The objects of the keys made from values holding no reference, whose
    // references the caller takes (see `PyValue::adopt_later`).
    std::vector<PyObject*>* adopted = nullptr;
    // The batch is a run of a larger one: sizing a map exactly would look
    // every value up twice.
    bool run = false;
    // With `run`, the objects of the whole batch and of this run.
    size_t expected = 0, run_size = 0;
};

// Enter the grouped values of `groups` into `sets` (the value sets or the
// element sets of a map), the ids of each value together.  `texts`, given
// with the value sets, learns of each text that gets a set of its own;
// `elements` says the sets are element sets.
void fill_value_sets(ValueSets& sets, FillBuffers& buf, TextOrder* texts, bool elements = false) {
    const ValueGroups& groups = buf.groups;
    size_t fresh = groups.size();
    if (!sets.empty() && !buf.run) {
        fresh = 0;
        for (size_t g = 0; g < groups.size(); ++g) fresh += !sets.contains(groups.value(g));
    }
    if (buf.run && sets.empty() && fresh >= buf.run_size - buf.run_size / 10 &&
        buf.expected > buf.run_size) {
        // The first run of a batch finds nearly every value new: room for as
        // many from every run, made once.  Growing the table run by run
        // would hold the old table and the new one at once, each time.
        fresh = static_cast<size_t>(static_cast<double>(fresh) * static_cast<double>(buf.expected) /
                                    static_cast<double>(buf.run_size));
    }
    sets.reserve(sets.size() + fresh);
    for (size_t first = 0; first < groups.size(); first += FillBuffers::kCopyRun) {
        const size_t end = std::min(groups.size(), first + FillBuffers::kCopyRun);
        buf.copies.clear();
        for (size_t g = first; g < end; ++g) buf.copies.push_back(groups.value(g));
        // The counts of the keys this block may make, taken at once.
        const bool adopting = buf.adopted != nullptr && !elements;
        CountReserve counts(adopting ? std::min(end - first, fresh) : 0);
        for (size_t g = first; g < end; ++g) {
            if (g + FillBuffers::kAhead < end)
                sets.prefetch(buf.copies[g + FillBuffers::kAhead - first]);
            auto [it, made] = sets.try_emplace(std::move(buf.copies[g - first]));
            if (made) {
                // The handle is not part of the key: a new key takes its own
                // reference in place.
                // Element keys hold no reference of their own by design: the
                // value whose class carries them keeps what they need.
                if (buf.adopted != nullptr && !elements)
                    const_cast<PyValue&>(it->first).adopt_later(*buf.adopted);
                it->second = HybridSet::empty_small();
                if (texts != nullptr && it->first.key_kind() == KeyKind::Text)
                    texts->entered(it->first);
            }
            it->second.add_many(groups.ids(g), groups.count(g));
        }
    }
}

// Enter the ids of the grouped values that have elements into the element
// sets of `qm`: the (element key, id) pairs of every group, grouped again
// by key.  Leaves `buf.groups` holding the element groups.
void fill_element_sets(QueryMap& qm, FillBuffers& buf, size_t count) {
    if (count == 0) return;
    std::vector<BatchPair>& pairs = buf.element_pairs;
    pairs.clear();
    pairs.reserve(count);
    const ValueGroups& groups = buf.groups;
    for (size_t g = 0; g < groups.size(); ++g) {
        const std::vector<PyValue>* keys = groups.value(g).elements();
        if (keys == nullptr) continue;
        const uint32_t* ids = groups.ids(g);
        for (const PyValue& key : *keys)
            for (size_t i = 0; i < groups.count(g); ++i) pairs.push_back(BatchPair{&key, ids[i]});
    }
    buf.groups.group(pairs);
    fill_value_sets(qm.elements, buf, nullptr, true);
    pairs = {};
}

// Keep the range pairs of `batch` for the batch's last run, as keys.
void hold_ranges(const Batch& batch) {
    PendingRanges::Held& held = *batch.held_ranges;
    std::vector<u128>& keys = held.keys;
    // Held back over many runs: room made once for the whole batch, or
    // grown by doubling, not run by run.
    if (keys.capacity() < keys.size() + batch.numeric)
        keys.reserve(std::max({keys.size() + batch.numeric, 2 * keys.capacity(), batch.expected}));
    for (const BatchPair& p : batch.pairs) {
        if (!p.value->is_numeric()) continue;
        const CompositeKey128 pair = CompositeKey128::make(p.value->range_value(), p.id);
        if (pair.value.inexact()) {
            held.inexact.push_back(pair);
        } else {
            keys.push_back(pair.key);
        }
    }
}

// Fill each map of `work` from its batch: value sets by group, element
// sets by element key, then the range pairs in key order.  The batches are
// emptied as they are done.
void fill_maps(const MapWork& work, std::vector<PyObject*>* adopted) {
    FillBuffers buf;
    buf.adopted = adopted;
    buf.copies.reserve(FillBuffers::kCopyRun);
    for (auto [map, batch] : work) {
        buf.groups.group(batch->pairs);
        buf.run = batch->run;
        buf.expected = batch->expected;
        buf.run_size = batch->pairs.size();
        fill_value_sets(map->exact, buf, &map->texts);
        fill_element_sets(*map, buf, batch->elements);
        if (batch->held_ranges != nullptr) {
            hold_ranges(*batch);
        } else {
            for (const BatchPair& p : batch->pairs)
                QueryMap::queue_range(*p.value, p.id, buf.pending);
            map->enter_pending(buf.pending);
        }
        // Give the pairs back now (assigning `{}` would keep their block).
        decltype(batch->pairs)().swap(batch->pairs);
    }
}

// Two shares of `work` of about equal `load`, the largest items first.
template <class T, class Load>
std::pair<std::vector<T>, std::vector<T>> split_shares(std::vector<T> work, Load load) {
    std::sort(work.begin(), work.end(), [&](const T& x, const T& y) { return load(x) > load(y); });
    std::pair<std::vector<T>, std::vector<T>> shares;
    size_t first_load = 0, second_load = 0;
    for (const T& w : work) {
        if (first_load <= second_load) {
            shares.first.push_back(w);
            first_load += load(w);
        } else {
            shares.second.push_back(w);
            second_load += load(w);
        }
    }
    return shares;
}

// Run `theirs` on a second thread while `mine` runs on this one, then
// throw what either threw (this thread's first).  With no thread to be
// had, both run here.  Nothing may be shared between the two.
template <class Mine, class Theirs>
void run_on_two_threads(Mine&& mine, Theirs&& theirs) {
    std::exception_ptr failed;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                theirs();
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        mine();
        theirs();
        return;
    }
    try {
        mine();
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (failed) std::rethrow_exception(failed);
}

bool two_threads_pay(size_t parts, size_t load) {
    return parts >= 2 && load >= kParallelPairs && std::thread::hardware_concurrency() >= 2;
}

// Fill the maps of `work` on this thread and a second one.  Nothing is
// shared between two maps, so each share is filled on its own.
void fill_on_two_threads(const MapWork& work, bool trim, std::vector<PyObject*>* adopted) {
    auto [mine, theirs] =
        split_shares(work, [](const MapWork::value_type& w) { return w.second->load(); });
    // The second thread's adopted objects, handed over whatever happens.
    struct HandOver {
        std::vector<PyObject*>* to;
        std::vector<PyObject*> from;
        ~HandOver() {
            if (to != nullptr) to->insert(to->end(), from.begin(), from.end());
        }
    } theirs_adopted{adopted, {}};
    run_on_two_threads(
        [&] { fill_maps(mine, adopted); },
        [&] { fill_maps(theirs, adopted != nullptr ? &theirs_adopted.from : nullptr); });
    if (trim) give_back_freed();
}

}  // namespace

void give_back_freed() noexcept {
#ifdef __GLIBC__
    // The sorting and grouping buffers of a large batch are freed by now,
    // much of them in the second thread's malloc arena, which would keep
    // them: give them back to the system.
    malloc_trim(0);
#endif
}

void add_object_many(IndexAPI& index, std::span<const Entry> entries, EnteredList* entered,
                     PendingRanges* ranges, std::vector<PyObject*>* adopted) {
    auto maps = index.attr_maps->write();
    auto ids = index.member_ids->write();
    Batches batches = gather_batch(*maps, entries, &index, entered);
    if (ranges != nullptr) {
        // Made here, on one thread, before the maps are filled.
        for (auto& [map, batch] : batches) {
            batch.run = true;
            batch.expected = ranges->expected;
            if (batch.numeric != 0) batch.held_ranges = &ranges->of[map];
        }
    }
    std::vector<uint32_t> batch_ids;
    batch_ids.reserve(entries.size());
    for (const Entry& entry : entries) batch_ids.push_back(entry.id);
    ids->add_many(batch_ids.data(), batch_ids.size());
    MapWork work;
    size_t total = 0;
    for (auto& [map, batch] : batches) {
        if (batch.pairs.empty()) continue;
        work.emplace_back(map, &batch);
        total += batch.load();
    }
    if (two_threads_pay(work.size(), total)) {
        fill_on_two_threads(work, ranges == nullptr, adopted);
    } else {
        fill_maps(work, adopted);
    }
}

void enter_pending_ranges(IndexAPI& index, PendingRanges& ranges) {
    auto maps = index.attr_maps->write();
    // Each tree is built from its own keys: two at a time when that pays.
    using Work = std::pair<QueryMap*, PendingRanges::Held*>;
    std::vector<Work> work;
    size_t total = 0;
    for (auto& [map, held] : ranges.of) {
        work.emplace_back(map, &held);
        total += held.keys.size() + held.inexact.size();
    }
    const auto enter = [](const std::vector<Work>& share) {
        for (const auto& [map, held] : share) map->enter_pending(held->keys, held->inexact);
    };
    if (two_threads_pay(work.size(), total)) {
        auto [mine, theirs] = split_shares(
            work, [](const Work& w) { return w.second->keys.size() + w.second->inexact.size(); });
        run_on_two_threads([&] { enter(mine); }, [&] { enter(theirs); });
    } else {
        enter(work);
    }
    ranges.of.clear();
    give_back_freed();
}

Rebuilt build_index(const std::vector<std::unique_ptr<Entry>>& entries) {
    Rebuilt out{std::make_shared<IndexAPI>(IndexAPI::make()), {}};
    IndexAPI& index = *out.index;
    auto maps = index.attr_maps->write();
    {
        auto ids = index.member_ids->write();
        for (const auto& e : entries) ids->add(e->id);
    }
    {
        auto store = index.items->write();
        for (const auto& e : entries) store->put(e->id, e->item);
    }
    for (const auto& e : entries) {
        enter_attributes(*maps, *e, true, &out.entered, &index);
        RecordedPairs hidden = recorded_pairs(*e->attrs, true);
        if (!hidden.empty()) index.recorded[e->id] = std::move(hidden);
    }
    return out;
}

void update_index(AttrMaps& maps, const std::string& name, const PyValue* old_value,
                  const PyValue& new_value, uint32_t id, const Entry* nested, EnteredList* entered,
                  IndexAPI* owner) {
    if (hidden_name(name)) return;
    if (old_value != nullptr) {
        auto it = maps.find(name);
        if (it != maps.end()) {
            QueryMap& qm = *it->second;
            // Withdraw the old pair everywhere it may be recorded, even when
            // its value entry is gone (narrowed by reduce, then pruned): the
            // range tree and the holders do not follow the value entries.
            qm.withdraw(*old_value, id);
            // An object assigned again keeps its place in the nested index.
            if (old_value->kind() == CastValue::Ind &&
                !(new_value.kind() == CastValue::Ind &&
                  new_value.nested_id() == old_value->nested_id()))
                release_nested(qm, old_value->nested_id());
            // Empty value sets alone do not make the map unused: after
            // `reduce`, other members may still be recorded in its range
            // tree, its holders or its nested index.
            if (!qm.unused()) {
                qm.insert(new_value, id, nested, entered);
                return;
            }
            maps.erase(it);
        }
    }
    add_index_value(maps, id, name, new_value, nested, entered, owner);
}

void union_with(IndexAPI& target, const IndexAPI& source, EnteredList* entered) {
    auto dst = target.attr_maps->write();
    auto src = source.attr_maps->read();
    if (source.narrowed.raised()) target.narrowed.raise();
    for (const auto& [name, map] : *src) {
        map_for(*dst, name, &target).merge(*map, entered);
    }
    // The maps of hidden names came whole: so do the pairs recorded for them.
    for (const auto& [id, pairs] : source.recorded) {
        RecordedPairs& mine = target.recorded[id];
        for (const Attr& pair : pairs) {
            auto same = [&](const Attr& p) {
                return p.first == pair.first && p.second.same_key(pair.second);
            };
            if (std::none_of(mine.begin(), mine.end(), same)) mine.push_back(pair);
        }
    }
    auto dst_ids = target.member_ids->write();
    auto src_ids = source.member_ids->read();
    dst_ids->or_inplace(*src_ids);
}

namespace {

void release_nested_ids(QueryMap& map, const Bitmap& gone);

// The pairs withdrawn from one map, beyond its value sets: nested objects
// left without a holder leave the nested index together.  (Range pairs leave
// at once: the tree's buffer puts them in key order.)
struct Withdrawal {
    QueryMap& map;
    Bitmap released;

    explicit Withdrawal(QueryMap& m) noexcept : map(m) {}
    // (value, id) leaves the range tree or the holders (the caller takes
    // `id` out of the value set).
    void pair(const PyValue& value, uint32_t id) {
        if (value.is_numeric()) {
            map.ranged->remove(value.range_value(), id);
        } else if (value.key_kind() == KeyKind::Text) {
            map.texts.withdraw(map.exact, value, id);
        } else if (value.kind() == CastValue::Ind) {
            auto h = map.holders.find(value.nested_id());
            if (h == map.holders.end()) return;
            h->second.remove(id);
            if (h->second.empty()) {
                released.add(value.nested_id());
                map.holders.erase(h);
            }
        }
    }
    void finish() {
        // A cycle index releases nothing by holders: what its roots no
        // longer reach leaves it (see `sweep_cycle`).
        if (released.empty() || map.closed) return;
        release_nested_ids(map, released);
        map.drop_looped(released);
    }
};

// Withdraw the members `gone` from `index`, whose maps the caller holds
// locked: the pairs recorded for each, from value sets, range trees and
// holders (which may release deeper nested objects in turn).
void drop_members(IndexAPI& index, AttrMaps& maps, const Bitmap& gone) {
    Bitmap present;
    {
        auto ids = index.member_ids->write();
        present = gone.and_(*ids);
        if (present.empty()) return;
        ids->andnot_inplace(present);
    }
    // The pairs stay alive until every map is done with them.
    std::vector<RecordedPairs> leaving;
    leaving.reserve(static_cast<size_t>(present.cardinality()));
    // Node-based: the withdrawals do not move while they are gathered.
    std::unordered_map<QueryMap*, Withdrawal> work;
    present.for_each([&](uint32_t id) {
        auto r = index.recorded.find(id);
        if (r == index.recorded.end()) return;
        leaving.push_back(std::move(r->second));
        index.recorded.erase(r);
        for (const auto& [name, value] : leaving.back()) {
            auto it = maps.find(name.str());
            if (it == maps.end()) continue;
            QueryMap& qm = *it->second;
            auto v = qm.exact.find(value);
            if (v != qm.exact.end()) {
                v->second.remove(id);
                if (v->second.empty()) qm.drop_set(v);
            }
            qm.withdraw_elements(value, id);
            work.try_emplace(&qm, qm).first->second.pair(value, id);
        }
    });
    for (auto& [qm, out] : work) out.finish();
    for (auto it = maps.begin(); it != maps.end();) {
        if (work.count(it->second.get()) != 0 && it->second->unused()) {
            maps.erase(it++);
        } else {
            ++it;
        }
    }
    auto store = index.items->write();
    std::vector<StoredItem> doomed;
    doomed.reserve(static_cast<size_t>(present.cardinality()));
    present.for_each([&](uint32_t id) { doomed.push_back(store->take(id)); });
    store.unlock();
}

// Withdraw the nested objects `gone` from the nested index of `map`.
void release_nested_ids(QueryMap& map, const Bitmap& gone) {
    IndexAPI& nested = *map.nested;
    auto maps = nested.attr_maps->write();
    drop_members(nested, *maps, gone);
}

}  // namespace

void release_nested(QueryMap& map, uint32_t nested_id) {
    if (map.closed || map.holders.contains(nested_id)) return;
    Bitmap gone;
    gone.add(nested_id);
    release_nested_ids(map, gone);
}

namespace {

// A pair leaving one map.
struct LeavingPair {
    const PyValue* value;
    uint32_t id;
};
using LeavingPairs = std::unordered_map<QueryMap*, std::vector<LeavingPair>>;

// Gather the pairs of the leaving objects by the map they leave; names the
// index has no map for are passed over.
LeavingPairs gather_leaving(const AttrMaps& maps, const std::vector<Leaving>& leaving) {
    // Objects of one batch usually carry the same names in the same order:
    // remember the map found at each position to skip most name lookups.
    struct Target {
        bool known = false;
        AttrName name;
        std::vector<LeavingPair>* pairs = nullptr;  // null: the index has no such map
    };
    std::vector<Target> recent;
    LeavingPairs work;
    for (const Leaving& entry : leaving) {
        const AttrList& attrs = *entry.attrs;
        if (recent.size() < attrs.size()) recent.resize(attrs.size());
        for (size_t i = 0; i < attrs.size(); ++i) {
            const auto& [name, value] = attrs[i];
            if (hidden_name(name.view())) continue;  // see `withdraw_hidden`
            Target& t = recent[i];
            if (!t.known || !(t.name == name)) {
                t.known = true;
                t.name = name;
                auto it = maps.find(name.str());
                t.pairs = it == maps.end() ? nullptr : &work[it->second.get()];
            }
            if (t.pairs != nullptr) t.pairs->push_back(LeavingPair{&value, entry.id});
        }
    }
    return work;
}

// Hidden names are entered only by `rebase` (and unions of what it
// entered) and never follow assignments, so an object's current value may
// not be the one its pair was entered under: the pairs recorded for the
// leaving objects join `work`.  Their storage moves to `kept`, alive until
// the work is done.
void withdraw_hidden(IndexAPI& index, const AttrMaps& maps, const std::vector<Leaving>& leaving,
                     LeavingPairs& work, std::vector<RecordedPairs>& kept) {
    if (index.recorded.empty()) return;
    for (const Leaving& entry : leaving) {
        auto r = index.recorded.find(entry.id);
        if (r == index.recorded.end()) continue;
        kept.push_back(std::move(r->second));
        index.recorded.erase(r);
        for (const auto& [name, value] : kept.back()) {
            auto it = maps.find(name.str());
            if (it != maps.end()) work[it->second.get()].push_back(LeavingPair{&value, entry.id});
        }
    }
}

// Withdraw `pairs` from `qm`: from their value sets (dropping entries left
// empty), range tree and holders.
void withdraw_pairs(QueryMap& qm, const std::vector<LeavingPair>& pairs) {
    Withdrawal out(qm);
    for (const LeavingPair& p : pairs) {
        auto it = qm.exact.find(*p.value);
        if (it != qm.exact.end()) {
            it->second.remove(p.id);
            if (it->second.empty()) qm.drop_set(it);
        }
        qm.withdraw_elements(*p.value, p.id);
        out.pair(*p.value, p.id);
    }
    out.finish();
}

}  // namespace

void remove_objects(IndexAPI& index, const std::vector<Leaving>& leaving) {
    auto maps = index.attr_maps->write();
    // Gather the pairs per map first, so that each map is worked on once.
    LeavingPairs work = gather_leaving(*maps, leaving);
    std::vector<RecordedPairs> kept;
    kept.reserve(leaving.size());
    withdraw_hidden(index, *maps, leaving, work, kept);
    for (auto& [map, pairs] : work) withdraw_pairs(*map, pairs);
    for (auto it = maps->begin(); it != maps->end();) {
        if (work.count(it->second.get()) != 0 && it->second->unused()) {
            maps->erase(it++);
        } else {
            ++it;
        }
    }
    auto ids = index.member_ids->write();
    for (const Leaving& entry : leaving) ids->remove(entry.id);
}

namespace {

// Copy the members `fresh` of nested index `source`, which `target` lacks,
// with the pairs recorded for them, their stored items, and below them the
// nested objects they hold that the target's deeper indexes lack.  Members
// the target holds already are kept current by their registration there,
// and receive nothing from the source.  Each copied object is reported
// with its pairs as copied.
void copy_nested(QueryMap& into, const QueryMap& from, const Bitmap& ids, EnteredList* entered);

using CopiedPairs = std::vector<std::pair<uint32_t, std::shared_ptr<const AttrList>>>;

// The objects `copied` become members of `target`, each with its stored
// item from `source`, and are reported in `entered` with the pairs copied
// for them as their snapshot.  The caller holds the target's maps.
void admit_copied(const std::shared_ptr<IndexAPI>& target, const IndexAPI& source,
                  CopiedPairs& copied, EnteredList* entered) {
    {
        auto ids = target->member_ids->write();
        for (const auto& c : copied) ids->add(c.first);
    }
    auto dst_items = target->items->write();
    auto src_items = source.items->read();
    for (auto& [id, snapshot] : copied) {
        StoredItem item = src_items->item(id);
        if (item.get() == nullptr) continue;
        dst_items->put(id, item);
        if (entered != nullptr)
            entered->push_back(
                NestedEntered{target, std::move(item), nullptr, std::move(snapshot)});
    }
}

void copy_members(const std::shared_ptr<IndexAPI>& target, const IndexAPI& source,
                  const Bitmap& fresh, EnteredList* entered) {
    auto dst = target->attr_maps->write();
    auto src = source.attr_maps->read();
    // Per map of the target: the map of the source it copies from and the
    // nested objects to copy below it.
    std::unordered_map<QueryMap*, std::pair<const QueryMap*, Bitmap>> below;
    CopiedPairs copied;
    fresh.for_each([&](uint32_t id) {
        auto r = source.recorded.find(id);
        if (r == source.recorded.end()) return;
        const RecordedPairs& pairs = target->recorded[id] = r->second;
        auto snapshot = std::make_shared<AttrList>();
        snapshot->reserve(pairs.size());
        for (const auto& [name, value] : pairs) {
            snapshot->push_back(name, value);
            QueryMap& qm = map_for(*dst, name.view(), target.get());
            qm.insert(value, id, nullptr, nullptr);
            if (value.kind() != CastValue::Ind) continue;
            auto s = src->find(name.str());
            if (s == src->end()) continue;
            auto& [from, ids] = below[&qm];
            from = s->second.get();
            ids.add(value.nested_id());
        }
        copied.emplace_back(id, std::move(snapshot));
    });
    admit_copied(target, source, copied, entered);
    for (auto& [qm, work] : below) {
        auto& [from, ids] = work;
        if (from->nested == qm->nested) continue;
        copy_nested(*qm, *from, ids, entered);
        // Objects the source looped come with what they reach in its cycle
        // index.
        if (!from->looped.empty()) {
            Bitmap looped = ids.and_(from->looped);
            if (!looped.empty()) copy_looped(*qm, *from, looped, entered);
        }
    }
}

void copy_nested(QueryMap& into, const QueryMap& from, const Bitmap& ids, EnteredList* entered) {
    // Only objects the source entered below, and only those the target
    // lacks.
    Bitmap missing;
    {
        auto src_ids = from.nested->member_ids->read();
        missing = ids.and_(*src_ids);
    }
    {
        auto dst_ids = into.nested->member_ids->read();
        missing.andnot_inplace(*dst_ids);
    }
    missing.andnot_inplace(into.looped);
    if (missing.empty()) return;
    if (into.cycle) {
        // Objects of the target's cycle index are looped, never entered.
        IndexAPI& cycle = *into.cycle;
        auto maps = cycle.attr_maps->write();
        Bitmap in_cycle;
        {
            auto members = cycle.member_ids->read();
            in_cycle = missing.and_(*members);
        }
        if (!in_cycle.empty()) {
            into.looped.or_inplace(in_cycle);
            in_cycle.for_each([&](uint32_t id) { ++cycle.roots[id]; });
            missing.andnot_inplace(in_cycle);
        }
    }
    if (!missing.empty()) copy_members(into.nested, *from.nested, missing, entered);
}

}  // namespace

void merge_nested(QueryMap& into, const QueryMap& from, EnteredList* entered) {
    if (from.nested == into.nested) return;
    Bitmap held;
    {
        auto src_ids = from.nested->member_ids->read();
        held = src_ids->copy();
    }
    copy_nested(into, from, held, entered);
    if (!from.looped.empty()) copy_looped(into, from, from.looped, entered);
}

void narrow(AttrMaps& maps, const Bitmap& selected) {
    for (auto& [name, map] : maps) {
        for (auto& [value, set] : map->exact) {
            // Ranges of texts keep every member, as the range tree does.
            if (value.key_kind() == KeyKind::Text) map->texts.keep_aside(value, set, selected);
            set.retain(selected);
        }
        for (auto& [key, set] : map->elements) set.retain(selected);
    }
}

void enter_reachable(const std::shared_ptr<IndexAPI>& cycle, AttrMaps& maps, const Entry& entry,
                     EnteredList* entered) {
    auto ids = cycle->member_ids->write();
    auto store = cycle->items->write();
    std::vector<const Entry*> todo{&entry};
    while (!todo.empty()) {
        const Entry& e = *todo.back();
        todo.pop_back();
        // A member is kept current by its registration, and what it
        // reaches is here already.
        if (!ids->add_checked(e.id)) continue;
        store->put(e.id, e.item);
        RecordedPairs pairs = recorded_pairs(*e.attrs, false);
        for (const auto& [name, value] : pairs)
            map_for(maps, name.view(), cycle.get()).insert(value, e.id, nullptr, nullptr);
        cycle->recorded[e.id] = std::move(pairs);
        if (entered != nullptr) entered->push_back(NestedEntered{cycle, e.item, &e});
        // Names beginning with "_" are not followed (nor entered).
        for (const auto& [i, nested] : e.nested)
            if (!hidden_name((*e.attrs)[i].first.view())) todo.push_back(nested.get());
    }
}

std::shared_ptr<IndexAPI> make_cycle_index(uint32_t depth) {
    auto cycle = std::make_shared<IndexAPI>(IndexAPI::make());
    cycle->closed = true;
    cycle->depth = depth;
    return cycle;
}

namespace {

// Walk from the objects of `todo` through the pairs cycle index `cycle`
// recorded for them: each nested object among `members` that `admit`
// accepts and `into` lacks joins `into` and is walked from in turn.
template <typename Admit>
void follow_recorded(const IndexAPI& cycle, const Bitmap& members, std::vector<uint32_t>& todo,
                     Bitmap& into, Admit&& admit) {
    while (!todo.empty()) {
        const uint32_t id = todo.back();
        todo.pop_back();
        auto r = cycle.recorded.find(id);
        if (r == cycle.recorded.end()) continue;
        for (const auto& [name, value] : r->second) {
            if (value.kind() != CastValue::Ind) continue;
            const uint32_t next = value.nested_id();
            if (members.contains(next) && admit(next) && into.add_checked(next))
                todo.push_back(next);
        }
    }
}

constexpr auto kAny = [](uint32_t) { return true; };

}  // namespace

Bitmap reachable_in_cycle(const IndexAPI& cycle, const Bitmap& members) {
    Bitmap reached;
    std::vector<uint32_t> todo;
    for (const auto& [id, count] : cycle.roots)
        if (members.contains(id) && reached.add_checked(id)) todo.push_back(id);
    follow_recorded(cycle, members, todo, reached, kAny);
    return reached;
}

void sweep_cycle(IndexAPI& cycle, AttrMaps& maps, const Bitmap& from) {
    Bitmap members;
    {
        auto ids = cycle.member_ids->read();
        members = ids->copy();
    }
    // Only what `from` reaches may have lost its last way from a root:
    // every other member is reached as before.
    Bitmap reached;
    std::vector<uint32_t> todo;
    from.for_each([&](uint32_t id) {
        if (members.contains(id) && reached.add_checked(id)) todo.push_back(id);
    });
    follow_recorded(cycle, members, todo, reached, kAny);
    // Kept: those a root or a member outside them holds, and what they reach.
    Bitmap kept;
    reached.for_each([&](uint32_t id) {
        bool keep = cycle.roots.contains(id);
        for (auto it = maps.begin(); !keep && it != maps.end(); ++it) {
            auto h = it->second->holders.find(id);
            if (h == it->second->holders.end()) continue;
            h->second.for_each([&](uint32_t holder) { keep = keep || !reached.contains(holder); });
        }
        if (keep && kept.add_checked(id)) todo.push_back(id);
    });
    follow_recorded(cycle, members, todo, kept, [&](uint32_t id) { return reached.contains(id); });
    Bitmap gone = reached.andnot(kept);
    if (!gone.empty()) drop_members(cycle, maps, gone);
}

namespace {

// See `copy_looped`: `start` becomes looped `into`, the target's locks
// taken before the source's.
void copy_reachable(QueryMap& into, const IndexAPI& source, const Bitmap& start,
                    EnteredList* entered) {
    const std::shared_ptr<IndexAPI>& target = into.cycle_index();
    auto dst = target->attr_maps->write();
    auto src = source.attr_maps->read();
    into.looped.or_inplace(start);
    start.for_each([&](uint32_t id) { ++target->roots[id]; });
    Bitmap have, theirs;
    {
        auto ids = target->member_ids->read();
        have = ids->copy();
    }
    {
        auto ids = source.member_ids->read();
        theirs = ids->copy();
    }
    CopiedPairs copied;
    std::vector<uint32_t> todo;
    start.for_each([&](uint32_t id) { todo.push_back(id); });
    while (!todo.empty()) {
        const uint32_t id = todo.back();
        todo.pop_back();
        // Members of the target are current and bring what they reach.
        if (!theirs.contains(id) || !have.add_checked(id)) continue;
        auto r = source.recorded.find(id);
        if (r == source.recorded.end()) continue;
        const RecordedPairs& pairs = target->recorded[id] = r->second;
        auto snapshot = std::make_shared<AttrList>();
        snapshot->reserve(pairs.size());
        for (const auto& [name, value] : pairs) {
            snapshot->push_back(name, value);
            map_for(*dst, name.view(), target.get()).insert(value, id, nullptr, nullptr);
            if (value.kind() == CastValue::Ind) todo.push_back(value.nested_id());
        }
        copied.emplace_back(id, std::move(snapshot));
    }
    admit_copied(target, source, copied, entered);
}

}  // namespace

void copy_looped(QueryMap& into, const QueryMap& from, const Bitmap& ids, EnteredList* entered) {
    if (!from.cycle) return;
    Bitmap start = ids.andnot(into.looped);
    {
        auto entered_here = into.nested->member_ids->read();
        start.andnot_inplace(*entered_here);
    }
    if (start.empty()) return;
    if (from.cycle == into.cycle) {
        // One cycle index (a union within one index): only the roots move.
        auto maps = into.cycle->attr_maps->write();
        into.looped.or_inplace(start);
        start.for_each([&](uint32_t id) { ++into.cycle->roots[id]; });
        return;
    }
    copy_reachable(into, *from.cycle, start, entered);
}

}  // namespace corvane
