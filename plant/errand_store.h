#pragma once
// The plant's store for the page's database errands: one per errand
// thread, kept from one errand to the next (its session made anew after an
// outage), so the page's server holds a fixed few connections however many
// pages ask.

#include "plant_store.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace j4::plant {

// The calling thread's store of the database at `url`, connected within
// `bounds` when it has none.
PlantResult<PlantStore*> errandStore(const std::string& url, const std::atomic<bool>& stop,
                                     db::Bounds bounds);
// The errands' connections made since the start.
std::uint64_t errandConnections();

} // namespace j4::plant
