#include "device_options.h"

#include "update_session.h"

namespace j4::options {

bool DeviceOptions::named(const QCommandLineParser& parser) const {
    return parser.isSet(port) || parser.isSet(device) || parser.isSet(serial);
}

// The parser lists every option in the order met, once per use, and their
// values are taken from there in turn.
std::vector<runs::TargetName> DeviceOptions::names(const QCommandLineParser& parser,
                                                   const RawArguments& raw) const {
    const QStringList ports = parser.values(port);
    const QStringList devices = parser.values(device);
    const QStringList serials = parser.values(serial);
    qsizetype nextPort = 0;
    qsizetype nextDevice = 0;
    qsizetype nextSerial = 0;
    std::vector<runs::TargetName> names;
    for (const QString& name : parser.optionNames()) {
        if (name == QLatin1String("port"))
            names.push_back({runs::TargetName::Kind::Port, ports.value(nextPort++).toStdString()});
        else if (name == QLatin1String("device"))
            names.push_back(
                {runs::TargetName::Kind::Device, raw.bytesOf(devices.value(nextDevice++))});
        else if (name == QLatin1String("serial"))
            names.push_back(
                {runs::TargetName::Kind::Serial, serials.value(nextSerial++).toStdString()});
    }
    return names;
}

Result<std::string> DeviceOptions::pinnedSha256(const QCommandLineParser& parser) const {
    std::string hex = parser.value(expectSha256).toStdString();
    if (parser.isSet(expectSha256) && !isSha256Hex(hex))
        return fail("--expect-sha256 takes the file's SHA-256: 64 hexadecimal digits");
    return hex;
}

} // namespace j4::options
