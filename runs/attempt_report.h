#pragma once
// An attempt as the programs keep it: the transfer's report, where a
// station made it (its slot, the unit on it), and its line in the update
// log, whose field names are defined here once for the line's writer and
// its readers alike.

#include "update_session.h"

#include <optional>
#include <string>

namespace j4::runs {

// What a unit was made for, as the plant assigned its line: empty where no
// line was followed.
struct Production {
    std::string line;
    std::string workOrder;
    std::string lot;
    std::string partNumber;
};

struct AttemptReport : UpdateReport {
    AttemptReport() = default;
    explicit AttemptReport(UpdateReport transfer) : UpdateReport(std::move(transfer)) {}

    std::optional<int> slot; // a station's slot, from 1
    std::string unit;        // the unit's own serial number, when one was scanned
    Production production;
};

// What the report does not know of the program that ran it.
struct LogOrigin {
    std::string version;
    std::string host;
    std::string station;      // the station's name (its host's by default)
    std::string operatorName; // who runs it (its login by default)
};

// The outcome as records name it: "completed", "port_failed", ...; the one
// attempt a station withholds (its device pulled before the scan it
// requires) is "unit_not_scanned".
const char* outcomeName(UpdateOutcome outcome);

// The attempt as one line of JSON, without the line end.
std::string logLine(const AttemptReport& report, const LogOrigin& origin);

// The log line's fields.
namespace log_field {
inline constexpr const char* kAttempt = "attempt";
inline constexpr const char* kStation = "station";
inline constexpr const char* kOperator = "operator";
inline constexpr const char* kUnit = "unit";
inline constexpr const char* kStart = "start";
inline constexpr const char* kEnd = "end";
inline constexpr const char* kVersion = "version";
inline constexpr const char* kHost = "host";
inline constexpr const char* kFile = "file";
inline constexpr const char* kFileSha256 = "file_sha256";
inline constexpr const char* kImageBytes = "image_bytes";
inline constexpr const char* kFrames = "frames";
inline constexpr const char* kPortNumber = "port_number";
inline constexpr const char* kSlot = "slot";
inline constexpr const char* kDevice = "device";
inline constexpr const char* kAdapter = "adapter";
inline constexpr const char* kAdapterSerial = "adapter_serial";
inline constexpr const char* kOutcome = "outcome";
inline constexpr const char* kText = "text";
inline constexpr const char* kDetail = "detail";
inline constexpr const char* kBytesAccepted = "bytes_accepted";
inline constexpr const char* kTransmissions = "transmissions";
inline constexpr const char* kRejects = "rejects";
inline constexpr const char* kDurationMs = "duration_ms";
inline constexpr const char* kSignatureKeyId = "signature_key_id";
inline constexpr const char* kReleaseVersion = "release_version";
inline constexpr const char* kTrustedComment = "trusted_comment";
inline constexpr const char* kLine = "line";
inline constexpr const char* kWorkOrder = "work_order";
inline constexpr const char* kLot = "lot";
inline constexpr const char* kPartNumber = "part_number";
// A name kept exactly, as hex, beside its readable form.
inline constexpr const char* kFileBytes = "file_bytes";
inline constexpr const char* kUnitBytes = "unit_bytes";
inline constexpr const char* kOperatorBytes = "operator_bytes";
} // namespace log_field

} // namespace j4::runs
