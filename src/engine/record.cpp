#include "engine/record.hpp"

#include "engine/query_map.hpp"

namespace corvane {

IndexAPI IndexAPI::make() {
    return IndexAPI{std::make_shared<Locked<AttrMaps>>(), std::make_shared<Locked<Store>>(),
                    std::make_shared<Locked<Bitmap>>()};
}

const std::shared_ptr<IndexAPI>& default_index_arc() {
    // Deliberately leaked: it lives for the whole process.
    static auto* arc = new std::shared_ptr<IndexAPI>(std::make_shared<IndexAPI>(IndexAPI::make()));
    return *arc;
}

}  // namespace corvane
