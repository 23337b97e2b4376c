#include "engine/stored.hpp"

namespace corvane {

bool store_holds(const Locked<Store>& store, uint32_t id, const PyObject* obj) {
    return store.read()->get(id) == obj;
}

size_t first_not_held(const Locked<Store>& store, const std::vector<uint32_t>& ids,
                      const std::vector<PyObject*>& objects) {
    auto s = store.read();
    for (size_t i = 0; i < objects.size(); ++i)
        if (s->get(ids[i]) != objects[i]) return i;
    return objects.size();
}

size_t stored_count(const Locked<Store>& store) { return store.read()->count(); }

size_t count_stored(const Locked<Store>& store, const Bitmap& ids) {
    auto s = store.read();
    if (s->count() == 0) return 0;
    size_t n = 0;
    ids.for_each_chunk([&](const uint32_t* chunk, uint32_t k) {
        for (uint32_t i = 0; i < k; ++i) n += s->get(chunk[i]) != nullptr;
    });
    return n;
}

size_t gather_stored(const Locked<Store>& store, const Bitmap& ids, PyObject** out,
                     void (*touch)(PyObject*)) {
    auto s = store.read();
    // A pipeline: each slot is asked for a fixed distance ahead of being
    // read, each object's header when its slot is read, and the object is
    // touched a few objects later.  The objects are scattered in memory, so
    // overlapping those cache misses is what makes this fast; asking for a
    // whole chunk of slots at once instead fills the line buffers and
    // stalls.
    constexpr uint32_t kSlotsAhead = 32;
    constexpr size_t kTouchBehind = 8;
    size_t filled = 0, touched = 0;
    ids.for_each_chunk([&](const uint32_t* chunk, uint32_t n) {
        for (uint32_t k = 0; k < n && k < kSlotsAhead; ++k) s->prefetch(chunk[k]);
        for (uint32_t k = 0; k < n; ++k) {
            if (k + kSlotsAhead < n) s->prefetch(chunk[k + kSlotsAhead]);
            PyObject* obj = s->get(chunk[k]);
            if (obj == nullptr) continue;
            __builtin_prefetch(obj, 1, 3);
            out[filled++] = obj;
            if (touch != nullptr && filled - touched > kTouchBehind) touch(out[touched++]);
        }
    });
    if (touch != nullptr)
        while (touched < filled) touch(out[touched++]);
    return filled;
}

std::vector<PyObject*> stored_in_order(const Locked<Store>& store,
                                       const std::vector<uint32_t>& ids) {
    auto s = store.read();
    for (uint32_t id : ids) s->prefetch(id);
    std::vector<PyObject*> found;
    found.reserve(ids.size());
    for (uint32_t id : ids)
        if (PyObject* obj = s->get(id)) found.push_back(obj);
    return found;
}

std::vector<PyObject*> all_stored(const Locked<Store>& store) {
    auto s = store.read();
    std::vector<PyObject*> out;
    out.reserve(s->count());
    s->for_each([&](PyObject* obj) { out.push_back(obj); });
    return out;
}

Bitmap stored_among(const Locked<Store>& store, const Bitmap& ids) {
    auto s = store.read();
    Bitmap live;
    ids.for_each([&](uint32_t id) {
        if (s->get(id) != nullptr) live.add(id);
    });
    return live;
}

void put_item(Locked<Store>& store, uint32_t id, StoredItem item) {
    store.write()->put(id, std::move(item));
}

void put_entries(Locked<Store>& store, std::vector<Entry>& entries) {
    auto s = store.write();
    for (Entry& e : entries) s->put(e.id, std::move(e.item));
}

std::vector<PyObject*> put_absent(Locked<Store>& store,
                                  std::vector<std::pair<uint32_t, StoredItem>> items) {
    std::vector<PyObject*> stored;
    {
        auto s = store.write();
        for (auto& [id, item] : items) {
            if (s->get(id) == item.get()) continue;
            stored.push_back(item.get());
            s->put(id, std::move(item));
        }
    }
    return stored;  // the handles not stored are dropped after the lock
}

std::vector<StoredItem> take_items(Locked<Store>& store, const std::vector<uint32_t>& ids) {
    std::vector<StoredItem> taken;
    taken.reserve(ids.size());
    auto s = store.write();
    for (uint32_t id : ids) taken.push_back(s->take(id));
    return taken;
}

}  // namespace corvane
