#include "engine/attr_name.hpp"

#include <absl/container/flat_hash_map.h>

#include <memory>
#include <mutex>

namespace corvane {

namespace {

struct NameTable {
    std::mutex lock;
    // Keys view the text of their record, which never moves.
    absl::flat_hash_map<std::string_view, AttrName::Record*> records;
};

NameTable& table() {
    // Never destroyed: handles may be dropped by threads still running at exit.
    static NameTable* t = new NameTable();
    return *t;
}

AttrName::Record* empty_record() {
    static AttrName::Record* r = new AttrName::Record();
    return r;
}

}  // namespace

AttrName::AttrName() noexcept : rec_(empty_record()) {}

AttrName AttrName::intern(std::string_view text) {
    if (text.empty()) return AttrName();
    NameTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.records.find(text);
    if (it != t.records.end()) return AttrName(it->second);
    auto* rec = new Record();
    rec->text.assign(text);
    t.records.emplace(std::string_view(rec->text), rec);
    return AttrName(rec);
}

}  // namespace corvane
