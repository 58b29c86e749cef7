#include "errand_store.h"

#include <optional>

namespace j4::plant {
namespace {

std::atomic<std::uint64_t> connections{0};

} // namespace

PlantResult<PlantStore*> errandStore(const std::string& url, const std::atomic<bool>& stop,
                                     db::Bounds bounds) {
    thread_local std::optional<PlantStore> store;
    thread_local std::string storeUrl;
    if (!store || storeUrl != url) {
        store.reset();
        auto made = PlantStore::connect(url, &stop, bounds);
        if (!made)
            return fail(made.error());
        ++connections;
        store.emplace(std::move(*made));
        storeUrl = url;
    }
    return &*store;
}

std::uint64_t errandConnections() {
    return connections;
}

} // namespace j4::plant
