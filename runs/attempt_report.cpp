#include "attempt_report.h"

#include "update_log.h"

#include <nlohmann/json.hpp>

namespace j4::runs {

const char* outcomeName(UpdateOutcome outcome) {
    switch (outcome) {
    case UpdateOutcome::Completed:
        return "completed";
    case UpdateOutcome::FileUnreadable:
        return "file_unreadable";
    case UpdateOutcome::PortFailed:
        return "port_failed";
    case UpdateOutcome::FileRefused:
        return "file_refused";
    case UpdateOutcome::LinkFailed:
        return "link_failed";
    case UpdateOutcome::UnexpectedAnswer:
        return "unexpected_answer";
    case UpdateOutcome::AnswersOutOfStep:
        return "answers_out_of_step";
    case UpdateOutcome::RejectedFourTimes:
        return "rejected_four_times";
    case UpdateOutcome::Interrupted:
        return "interrupted";
    case UpdateOutcome::Withheld:
        return "withheld";
    case UpdateOutcome::NotStarted:
        return "unit_not_scanned";
    }
    return "unknown";
}

namespace {

bool validUtf8(const std::string& text) {
    try {
        static_cast<void>(nlohmann::json(text).dump());
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

std::string hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xf];
    }
    return text;
}

// A name that is not UTF-8 (a file name is bytes on Linux), or holds a NUL
// no database text can, is kept exactly beside its readable form, as hex in
// "NAME_bytes": the record is the only proof of which file went to which unit.
void keepExactBytes(nlohmann::json& line, const char* exactField, const std::string& value) {
    if (value.find('\0') != std::string::npos || !validUtf8(value))
        line[exactField] = hex(value);
}

} // namespace

std::string logLine(const AttemptReport& report, const LogOrigin& origin) {
    namespace f = log_field;
    using nlohmann::json;
    const auto orNull = [](const std::string& text) { return text.empty() ? json() : json(text); };
    json line = {
        {f::kAttempt, orNull(report.attempt)},
        {f::kStation, orNull(origin.station)},
        {f::kOperator, orNull(origin.operatorName)},
        {f::kUnit, orNull(report.unit)},
        {f::kStart, utcTimestamp(report.startedAt)},
        {f::kEnd, utcTimestamp(report.endedAt)},
        {f::kVersion, origin.version},
        {f::kHost, origin.host},
        {f::kFile, report.filePath},
        {f::kFileSha256, orNull(report.fileSha256)},
        {f::kImageBytes, report.transfer.totalBytes},
        {f::kFrames, report.frames},
        {f::kPortNumber, report.portNumber ? json(*report.portNumber) : json()},
        {f::kSlot, report.slot ? json(*report.slot) : json()},
        {f::kDevice, report.device},
        {f::kAdapter, orNull(report.portDescription)},
        {f::kAdapterSerial, orNull(report.adapterSerial)},
        {f::kOutcome, outcomeName(report.outcome)},
        {f::kText, report.text},
        {f::kDetail, report.detail},
        {f::kBytesAccepted, report.transfer.acceptedBytes},
        {f::kTransmissions, report.transfer.transmissions},
        {f::kRejects, report.transfer.rejects},
        {f::kDurationMs,
         std::chrono::duration_cast<std::chrono::milliseconds>(report.duration).count()},
        {f::kSignatureKeyId, report.signature ? json(report.signature->keyId) : json()},
        {f::kReleaseVersion, report.signature ? orNull(report.signature->version) : json()},
        {f::kTrustedComment, report.signature ? json(report.signature->trustedComment) : json()},
        {f::kLine, orNull(report.production.line)},
        {f::kWorkOrder, orNull(report.production.workOrder)},
        {f::kLot, orNull(report.production.lot)},
        {f::kPartNumber, orNull(report.production.partNumber)},
    };
    keepExactBytes(line, f::kFileBytes, report.filePath);
    keepExactBytes(line, f::kUnitBytes, report.unit);
    keepExactBytes(line, f::kOperatorBytes, origin.operatorName);
    // Invalid UTF-8 is replaced in the readable fields, not allowed to break
    // the line.
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace j4::runs
