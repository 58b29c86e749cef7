#include "station_options.h"

#include "log_writer.h"
#include "record_database.h"
#include "record_keeping.h"
#include "station_profile.h"
#include "unit_scans.h"

namespace j4::options {

namespace {

Result<std::chrono::milliseconds> milliseconds(const QCommandLineParser& parser,
                                               const QCommandLineOption& option,
                                               std::chrono::milliseconds otherwise, int least,
                                               int most, const char* refusal) {
    if (!parser.isSet(option))
        return otherwise;
    bool ok = false;
    const int ms = parser.value(option).toInt(&ok);
    if (!ok || ms < least || ms > most)
        return fail(std::string(refusal));
    return std::chrono::milliseconds{ms};
}

// Each TLS file as given, else as the environment names it.
TlsSettings tlsFiles(const StationOptions& o, const QCommandLineParser& parser,
                     const RawArguments& raw) {
    TlsSettings tls = TlsSettings::fromEnvironment();
    for (const auto& [option, field] :
         {std::pair{&o.tlsCa, &tls.caFile}, std::pair{&o.tlsCert, &tls.certFile},
          std::pair{&o.tlsKey, &tls.keyFile}})
        if (parser.isSet(*option))
            *field = raw.bytesOf(parser.value(*option));
    return tls;
}

Result<release::ReleaseOptions>
releaseOptions(const StationOptions& o, const QCommandLineParser& parser, const RawArguments& raw) {
    release::ReleaseOptions release;
    for (const QString& file : parser.values(o.trustKey))
        release.trustKeyFiles.push_back(raw.bytesOf(file));
    release.requireSignature = parser.isSet(o.requireSignature);
    if (parser.isSet(o.signature))
        release.signatureFile = raw.bytesOf(parser.value(o.signature));
    if (parser.isSet(o.minVersion)) {
        release.minVersion = j4::release::parseVersion(parser.value(o.minVersion).toStdString());
        if (!release.minVersion)
            return fail("--min-version takes a release version: X.Y.Z, as 1.4.0");
    }
    return release;
}

// The records database, as given or as J4_RECORDS names it; checked now, so
// that a station never starts with a database it could never reach.
Result<std::string> recordsAddress(const StationOptions& o, const QCommandLineParser& parser) {
    const std::string url = parser.isSet(o.records) ? parser.value(o.records).toStdString()
                                                    : records::recordsFromEnvironment();
    if (url.empty())
        return url;
    if (auto usable = records::checkRecordsAddress(url); !usable)
        return fail(usable.error());
    return url;
}

} // namespace

QList<QCommandLineOption> StationOptions::all() const {
    return {
        timeout,      log,    stationId, operatorName,     metrics,   records,   profile,  line,
        offlineUnits, settle, unitRule,  requireUnit,      units,     slotNames, onResult, tlsCa,
        tlsCert,      tlsKey, trustKey,  requireSignature, signature, minVersion};
}

QList<const QCommandLineOption*> StationOptions::stationOnly() const {
    return {&profile,     &line,  &offlineUnits, &settle,  &unitRule,
            &requireUnit, &units, &slotNames,    &onResult};
}

Result<StationSettings> StationOptions::read(const QCommandLineParser& parser,
                                             const RawArguments& raw) const {
    StationSettings settings;
    auto answerTime = milliseconds(parser, timeout, SerialLink::kDefaultAnswerTimeout, 1, 600000,
                                   "--timeout takes a positive number of milliseconds");
    auto settleTime = milliseconds(parser, settle, std::chrono::milliseconds{0}, 0, 60000,
                                   "--settle takes milliseconds, 0 to 60000");
    auto release = releaseOptions(*this, parser, raw);
    auto url = recordsAddress(*this, parser);
    settings.unitRule = parser.value(unitRule).toStdString();
    const auto rule = station::UnitScans::withRule(settings.unitRule);
    for (const std::string* error :
         {answerTime ? nullptr : &answerTime.error(), settleTime ? nullptr : &settleTime.error(),
          release ? nullptr : &release.error(), url ? nullptr : &url.error(),
          rule ? nullptr : &rule.error()})
        if (error != nullptr)
            return fail(*error);
    settings.timeout = *answerTime;
    settings.settle = *settleTime;
    settings.release = std::move(*release);
    settings.recordsUrl = std::move(*url);
    settings.line = parser.value(this->line).toStdString();
    if (parser.isSet(offlineUnits)) {
        bool number = false;
        settings.offlineUnits = parser.value(offlineUnits).toInt(&number);
        if (!number || settings.offlineUnits < 0 || settings.offlineUnits > 100000)
            return fail(std::string("--offline-units takes a number of units, 0 to 100000"));
        if (settings.line.empty())
            return fail(std::string("--offline-units goes with --line"));
    }
    if (!settings.line.empty() && settings.recordsUrl.empty())
        return fail("--line " + settings.line +
                    " needs the plant's database: --records URI (or J4_RECORDS)");
    settings.requireUnit = parser.isSet(requireUnit);
    settings.unitsFrom = raw.bytesOf(parser.value(units));
    for (const QString& names : parser.values(slotNames))
        for (const QString& name : names.split(QLatin1Char(',')))
            settings.slotNames.push_back(name.trimmed().toStdString());
    settings.onResult = raw.bytesOf(parser.value(onResult));
    settings.logPath =
        parser.isSet(log) ? raw.bytesOf(parser.value(log)) : runs::logFromEnvironment();
    settings.stationId = parser.isSet(stationId) ? raw.bytesOf(parser.value(stationId))
                                                 : runs::stationFromEnvironment();
    settings.operatorName = raw.bytesOf(parser.value(operatorName));
    settings.metricsPath = raw.bytesOf(parser.value(metrics));
    settings.tls = tlsFiles(*this, parser, raw);
    return settings;
}

Result<RawArguments> StationOptions::withProfile(const QCommandLineParser& parser,
                                                 const RawArguments& raw) const {
    const auto read = station::readStationProfile(raw.bytesOf(parser.value(profile)));
    if (!read)
        return fail(read.error());
    return raw.withFirst(station::profileArguments(*read,
                                                   station::givenOptions(parser.optionNames()),
                                                   !parser.positionalArguments().isEmpty()));
}

} // namespace j4::options
