#pragma once
// The programs' exit statuses, one per kind of end, for scripts: j4_flash
// uses them all, the window its usage error and its interrupt.

#include "update_session.h"

namespace j4::runs {

inline constexpr int kCompleted = 0;
inline constexpr int kUsage = 2;
inline constexpr int kFileRefused = 3;
inline constexpr int kPortFailed = 4;
inline constexpr int kLinkFailed = 5;
inline constexpr int kCommunicationError = 6;
inline constexpr int kCrcError = 7;
inline constexpr int kRecordsFailed = 8;  // --send-records: not every record reached the database
inline constexpr int kUnitNotScanned = 9; // --require-unit: a device pulled before its scan
inline constexpr int kInterrupted = 130;

int exitStatus(UpdateOutcome outcome);

} // namespace j4::runs
