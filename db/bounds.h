#pragma once
// How long one database connection waits: every wait is bounded, so a
// database that is down, far or paused never holds a program.

#include <chrono>

namespace j4::db {

struct Bounds {
    std::chrono::milliseconds connect{10000};
    std::chrono::milliseconds statement{30000};
};

// How long a loop that lost its database waits before it connects anew.
constexpr std::chrono::seconds kReconnectAfter{5};

} // namespace j4::db
