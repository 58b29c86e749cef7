#pragma once
// One short wait on a database connection's socket, with the platform's own
// call: libpq leaves the waiting to its caller when it does not block.

#include <chrono>

namespace j4::db {

enum class SocketEvent { Readable, Writable, Either };

// Whether the socket became ready (or failed: the next libpq call says how)
// within `step`.
bool socketReady(int socket, SocketEvent event, std::chrono::milliseconds step);

} // namespace j4::db
