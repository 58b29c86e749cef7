#include "record.h"

#include "attempt_report.h"

#include <QByteArray>
#include <QDateTime>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <cstring>

namespace j4::records {
namespace {

using nlohmann::json;

enum class Kind { Text, Number, Time, Hex };

struct Field {
    RecordColumn column;
    const char* key; // in the log line
    Kind kind;
};

// The log's field names stay what scripts read; the table's are SQL's.
const std::vector<Field>& fields() {
    namespace f = runs::log_field;
    static const std::vector<Field> list = {
        {{"station", "text"}, f::kStation, Kind::Text},
        {{"operator", "text"}, f::kOperator, Kind::Text},
        {{"unit", "text"}, f::kUnit, Kind::Text},
        {{"started", "timestamptz"}, f::kStart, Kind::Time},
        {{"ended", "timestamptz"}, f::kEnd, Kind::Time},
        {{"program_version", "text"}, f::kVersion, Kind::Text},
        {{"host", "text"}, f::kHost, Kind::Text},
        {{"file", "text"}, f::kFile, Kind::Text},
        {{"file_sha256", "text"}, f::kFileSha256, Kind::Text},
        {{"image_bytes", "bigint"}, f::kImageBytes, Kind::Number},
        {{"frames", "bigint"}, f::kFrames, Kind::Number},
        {{"port_number", "integer"}, f::kPortNumber, Kind::Number},
        {{"slot", "integer"}, f::kSlot, Kind::Number},
        {{"device", "text"}, f::kDevice, Kind::Text},
        {{"adapter", "text"}, f::kAdapter, Kind::Text},
        {{"adapter_serial", "text"}, f::kAdapterSerial, Kind::Text},
        {{"outcome", "text"}, f::kOutcome, Kind::Text},
        {{"message", "text"}, f::kText, Kind::Text},
        {{"detail", "text"}, f::kDetail, Kind::Text},
        {{"bytes_accepted", "bigint"}, f::kBytesAccepted, Kind::Number},
        {{"transmissions", "bigint"}, f::kTransmissions, Kind::Number},
        {{"rejects", "bigint"}, f::kRejects, Kind::Number},
        {{"duration_ms", "bigint"}, f::kDurationMs, Kind::Number},
        {{"signature_key_id", "text"}, f::kSignatureKeyId, Kind::Text},
        {{"release_version", "text"}, f::kReleaseVersion, Kind::Text},
        {{"trusted_comment", "text"}, f::kTrustedComment, Kind::Text},
        {{"file_bytes", "bytea"}, f::kFileBytes, Kind::Hex},
        {{"unit_bytes", "bytea"}, f::kUnitBytes, Kind::Hex},
        {{"operator_bytes", "bytea"}, f::kOperatorBytes, Kind::Hex},
        {{"line", "text"}, f::kLine, Kind::Text},
        {{"work_order", "text"}, f::kWorkOrder, Kind::Text},
        {{"lot", "text"}, f::kLot, Kind::Text},
        {{"part_number", "text"}, f::kPartNumber, Kind::Text},
    };
    return list;
}

// Lines written before attempts had IDs: a name-based UUID of the line.
const QUuid kOldLines{"6f1c5d0e-3a51-4c59-9b0e-5f2f6c3a9d21"};

// PostgreSQL's text holds no NUL: shown as U+FFFD, the exact bytes being in
// the line's NAME_bytes where they matter.
std::string readable(std::string text) {
    for (std::size_t at; (at = text.find('\0')) != std::string::npos;)
        text.replace(at, 1, "\xEF\xBF\xBD");
    return text;
}

Result<std::optional<std::string>> valueOf(const json& line, const Field& field) {
    const auto found = line.find(field.key);
    if (found == line.end() || found->is_null())
        return std::optional<std::string>();
    const auto wrong = [&](const char* what) {
        return fail(std::string("its \"") + field.key + "\" is not " + what);
    };
    switch (field.kind) {
    case Kind::Number:
        // What the column holds: a value out of its range would stop every
        // record behind it.
        if (!found->is_number_integer() || found->get<double>() < 0 ||
            found->get<double>() >
                (std::strcmp(field.column.sqlType, "integer") == 0 ? 2147483647.0 : 9.2e18))
            return wrong("a whole number in range");
        return std::optional<std::string>(found->dump());
    case Kind::Hex: {
        if (!found->is_string())
            return wrong("hex");
        const QByteArray hex = QByteArray::fromStdString(found->get<std::string>());
        if (QByteArray::fromHex(hex).toHex() != hex.toLower())
            return wrong("hex");
        return std::optional<std::string>("\\x" + hex.toStdString());
    }
    case Kind::Time:
        if (!found->is_string() ||
            !QDateTime::fromString(QString::fromStdString(found->get<std::string>()),
                                   Qt::ISODateWithMs)
                 .isValid())
            return wrong("a time (ISO 8601)");
        return std::optional<std::string>(found->get<std::string>());
    default:
        if (!found->is_string())
            return wrong("text");
        return std::optional<std::string>(readable(found->get<std::string>()));
    }
}

Result<std::string> attemptOf(const json& line, std::string_view text) {
    const auto found = line.find(runs::log_field::kAttempt);
    if (found == line.end() || found->is_null())
        return QUuid::createUuidV5(kOldLines, QByteArray(text.data(), qsizetype(text.size())))
            .toString(QUuid::WithoutBraces)
            .toStdString();
    const QUuid id = found->is_string()
                         ? QUuid::fromString(QString::fromStdString(found->get<std::string>()))
                         : QUuid();
    if (id.isNull())
        return fail(std::string("its \"attempt\" is not a UUID"));
    return id.toString(QUuid::WithoutBraces).toStdString();
}

} // namespace

const std::vector<RecordColumn>& recordColumns() {
    static const std::vector<RecordColumn> columns = [] {
        std::vector<RecordColumn> list{{"attempt", "uuid"}};
        for (const Field& field : fields())
            list.push_back(field.column);
        list.push_back({"record", "json"});
        return list;
    }();
    return columns;
}

Result<Record> readRecord(std::string_view text) {
    // The same line with or without its end is the same record.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    const json line = json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object())
        return fail(std::string("not a JSON object"));
    namespace f = runs::log_field;
    for (const char* needed : {f::kStart, f::kEnd, f::kFile, f::kOutcome})
        if (!line.contains(needed))
            return fail(std::string("it has no \"") + needed + "\"");
    auto attempt = attemptOf(line, text);
    if (!attempt)
        return fail(attempt.error());
    Record record{*attempt, {*attempt}};
    for (const Field& field : fields()) {
        auto value = valueOf(line, field);
        if (!value)
            return fail(value.error());
        record.values.push_back(std::move(*value));
    }
    record.values.emplace_back(std::string(text));
    // Lines from before stations had names: the host was the station.
    if (!record.values[1])
        record.values[1] = record.values[7];
    return record;
}

} // namespace j4::records
