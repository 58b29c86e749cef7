#include "update_log.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace j4 {
namespace {

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
    }
    return "unknown";
}

// Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
void civilFromDays(long long days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<int>(static_cast<long long>(yearOfEra) + era * 400 + (month <= 2));
}

} // namespace

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const long long days = (ms >= 0 ? ms : ms - 86399999) / 86400000;
    const long long inDay = ms - days * 86400000;
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(days, year, month, day);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", year, month,
                  day, inDay / 3600000, inDay / 60000 % 60, inDay / 1000 % 60, inDay % 1000);
    return text;
}

std::string logLine(const UpdateReport& report, const LogOrigin& origin) {
    using nlohmann::json;
    const auto orNull = [](const std::string& text) { return text.empty() ? json() : json(text); };
    json line = {
        {"start", utcTimestamp(report.startedAt)},
        {"end", utcTimestamp(report.endedAt)},
        {"version", origin.version},
        {"host", origin.host},
        {"file", report.filePath},
        {"file_sha256", orNull(report.fileSha256)},
        {"image_bytes", report.transfer.totalBytes},
        {"frames", report.frames},
        {"port_number", report.portNumber ? json(*report.portNumber) : json()},
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
    };
    // Invalid UTF-8 in a path is replaced, not allowed to break the line.
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string UpdateLog::append(const UpdateReport& report, const LogOrigin& origin) const {
    return appendLine(path_, logLine(report, origin) + "\n");
}

} // namespace j4
