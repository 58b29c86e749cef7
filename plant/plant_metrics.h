#pragma once
// The plant as Prometheus reads it from j4_plant serve's /metrics: each
// line's hold and today's units, each station's silence, and whether the
// plant's database could be read; made from the live view's document.

#include <cstdint>
#include <string>

namespace j4::plant {

// `live` is j4_live_view()'s JSON (empty: none read yet); `readable` says
// whether the database answers now.
std::string plantMetrics(const std::string& live, bool readable);
// How many connections to the database the page's server made.
std::string connectionMetrics(std::uint64_t made);
// How many passwords the page's server hashed to check them.
std::string passwordMetrics(std::uint64_t hashes);

} // namespace j4::plant
