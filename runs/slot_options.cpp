#include "slot_options.h"

#include "update_session.h"

namespace j4::runs {

QStringList RawArguments::decoded() const {
    QStringList list;
    for (const std::string& argument : raw_)
        list << QString::fromLocal8Bit(argument);
    return list;
}

std::string RawArguments::bytesOf(const QString& value) const {
    for (const std::string& argument : raw_) {
        if (QString::fromLocal8Bit(argument) == value)
            return argument;
        const auto eq = argument.find('=');
        if (argument.starts_with("--") && eq != std::string::npos &&
            QString::fromLocal8Bit(argument.substr(eq + 1)) == value)
            return argument.substr(eq + 1);
    }
    return value.toStdString();
}

RawArguments RawArguments::withFirst(const std::vector<std::string>& more) const {
    std::vector<std::string> merged(raw_.begin(), raw_.begin() + (raw_.empty() ? 0 : 1));
    merged.insert(merged.end(), more.begin(), more.end());
    if (!raw_.empty())
        merged.insert(merged.end(), raw_.begin() + 1, raw_.end());
    return RawArguments(std::move(merged));
}

bool DeviceOptions::named(const QCommandLineParser& parser) const {
    return parser.isSet(port) || parser.isSet(device) || parser.isSet(serial);
}

// The parser lists every option in the order met, once per use, and their
// values are taken from there in turn.
std::vector<TargetName> DeviceOptions::names(const QCommandLineParser& parser,
                                             const RawArguments& raw) const {
    const QStringList ports = parser.values(port);
    const QStringList devices = parser.values(device);
    const QStringList serials = parser.values(serial);
    qsizetype nextPort = 0;
    qsizetype nextDevice = 0;
    qsizetype nextSerial = 0;
    std::vector<TargetName> names;
    for (const QString& name : parser.optionNames()) {
        if (name == QLatin1String("port"))
            names.push_back({TargetName::Kind::Port, ports.value(nextPort++).toStdString()});
        else if (name == QLatin1String("device"))
            names.push_back({TargetName::Kind::Device, raw.bytesOf(devices.value(nextDevice++))});
        else if (name == QLatin1String("serial"))
            names.push_back({TargetName::Kind::Serial, serials.value(nextSerial++).toStdString()});
    }
    return names;
}

Result<std::string> DeviceOptions::pinnedSha256(const QCommandLineParser& parser) const {
    std::string hex = parser.value(expectSha256).toStdString();
    if (parser.isSet(expectSha256) && !isSha256Hex(hex))
        return fail("--expect-sha256 takes the file's SHA-256: 64 hexadecimal digits");
    return hex;
}

std::string usageError(const std::string& program, const std::string& reason) {
    return program + ": " + reason + "\n(try --help)\n";
}

} // namespace j4::runs
