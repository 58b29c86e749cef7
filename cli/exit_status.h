#pragma once
// j4_flash's exit statuses, one per kind of end, for scripts.

#include "update_session.h"

namespace j4::cli {

inline constexpr int kCompleted = 0;
inline constexpr int kUsage = 2;
inline constexpr int kFileRefused = 3;
inline constexpr int kPortFailed = 4;
inline constexpr int kLinkFailed = 5;
inline constexpr int kCommunicationError = 6;
inline constexpr int kCrcError = 7;
inline constexpr int kInterrupted = 130;

int exitStatus(UpdateOutcome outcome);

} // namespace j4::cli
