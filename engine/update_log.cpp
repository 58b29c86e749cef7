#include "update_log.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <mutex>

namespace j4 {

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
    case UpdateOutcome::UnitNotScanned:
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
void keepExactBytes(nlohmann::json& line, const char* field, const std::string& value) {
    if (value.find('\0') != std::string::npos || !validUtf8(value))
        line[std::string(field) + "_bytes"] = hex(value);
}

} // namespace

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()),
                  int(time.subseconds().count()));
    return text;
}

std::string logLine(const UpdateReport& report, const LogOrigin& origin) {
    using nlohmann::json;
    const auto orNull = [](const std::string& text) { return text.empty() ? json() : json(text); };
    json line = {
        {"attempt", orNull(report.attempt)},
        {"station", orNull(origin.station)},
        {"operator", orNull(origin.operatorName)},
        {"unit", orNull(report.unit)},
        {"start", utcTimestamp(report.startedAt)},
        {"end", utcTimestamp(report.endedAt)},
        {"version", origin.version},
        {"host", origin.host},
        {"file", report.filePath},
        {"file_sha256", orNull(report.fileSha256)},
        {"image_bytes", report.transfer.totalBytes},
        {"frames", report.frames},
        {"port_number", report.portNumber ? json(*report.portNumber) : json()},
        {"slot", report.slot ? json(*report.slot) : json()},
        {"device", report.device},
        {"adapter", orNull(report.portDescription)},
        {"adapter_serial", orNull(report.adapterSerial)},
        {"outcome", outcomeName(report.outcome)},
        {"text", report.text},
        {"detail", report.detail},
        {"bytes_accepted", report.transfer.acceptedBytes},
        {"transmissions", report.transfer.transmissions},
        {"rejects", report.transfer.rejects},
        {"duration_ms",
         std::chrono::duration_cast<std::chrono::milliseconds>(report.duration).count()},
        {"signature_key_id", report.signature ? json(report.signature->keyId) : json()},
        {"release_version", report.signature ? orNull(report.signature->version) : json()},
        {"trusted_comment", report.signature ? json(report.signature->trustedComment) : json()},
    };
    keepExactBytes(line, "file", report.filePath);
    keepExactBytes(line, "unit", report.unit);
    keepExactBytes(line, "operator", origin.operatorName);
    // Invalid UTF-8 is replaced in the readable fields, not allowed to break
    // the line.
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

Result<Done> UpdateLog::append(const UpdateReport& report, const LogOrigin& origin) const {
    return appendText(logLine(report, origin) + "\n");
}

Result<Done> UpdateLog::appendText(const std::string& line) const {
    if (path_ != "-")
        return appendLine(path_, line);
    // Standard output: one line at a time, whole, whatever the threads.
    static std::mutex writing;
    const std::lock_guard lock(writing);
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)
        return fail(std::string("standard output cannot be written"));
    return Done{};
}

} // namespace j4
