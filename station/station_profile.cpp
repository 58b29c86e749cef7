#include "station_profile.h"

#include "owner_only.h"
#include "release_check.h"
#include "slots.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <functional>
#include <map>

namespace j4::station {
namespace {

// "300   # for the boot loader": a '#' or ';' after white space starts a
// comment, as on a line of its own. A value that holds one is quoted.
QString withoutComment(const QString& value) {
    static const QRegularExpression comment(QStringLiteral("\\s+[#;].*$"));
    return QString(value).remove(comment).trimmed();
}

enum class Kind { Text, Flag, Number, Many };

struct Key {
    Kind kind;
    // Checks a value; empty when it is good.
    std::function<std::string(const std::string&)> check;
    // A file's name (each of a list's): relative to the profile's folder,
    // wherever the station is started from.
    bool path = false;
};

std::string noCheck(const std::string&) {
    return {};
}

std::string checkNumber(const std::string& value) {
    bool ok = false;
    const long number = QString::fromStdString(value).toLong(&ok);
    return ok && number >= 0 && number <= 600000 ? std::string() : "takes a number of milliseconds";
}

std::string checkVersion(const std::string& value) {
    return release::parseVersion(value) ? std::string()
                                        : "takes a release version: X.Y.Z, as 1.4.0";
}

std::string checkSha256(const std::string& value) {
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return hex.match(QString::fromStdString(value)).hasMatch()
               ? std::string()
               : "takes the file's SHA-256: 64 hexadecimal digits";
}

std::string checkRule(const std::string& value) {
    const QRegularExpression rule(QString::fromStdString(value));
    return rule.isValid()
               ? std::string()
               : "is not a regular expression (" + rule.errorString().toStdString() + ")";
}

// A slot as a profile writes it: a port number, serial:SN, or a path.
runs::TargetName slotOf(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
        return {runs::TargetName::Kind::Port, text};
    if (text.rfind("serial:", 0) == 0)
        return {runs::TargetName::Kind::Serial, text.substr(7)};
    return {runs::TargetName::Kind::Device, text};
}

std::vector<std::string> listOf(const std::string& value) {
    std::vector<std::string> items;
    for (const QString& item : QString::fromStdString(value).split(',', Qt::SkipEmptyParts))
        if (const QString trimmed = item.trimmed(); !trimmed.isEmpty())
            items.push_back(trimmed.toStdString());
    return items;
}

std::string checkSlots(const std::string& value) {
    const auto items = listOf(value);
    if (items.empty())
        return "names no slot (port numbers, serial:SN or paths, separated by commas)";
    for (const std::string& item : items)
        if (auto usable = checkSlot(slotOf(item)); !usable)
            return "cannot be used: " + usable.error();
    return {};
}

const std::map<std::string, Key>& keys() {
    static const std::map<std::string, Key> known = {
        {"file", {Kind::Text, noCheck, true}},
        {"slots", {Kind::Many, checkSlots}},
        {"trust-key", {Kind::Many, noCheck, true}},
        {"require-signature", {Kind::Flag, noCheck}},
        {"signature", {Kind::Text, noCheck, true}},
        {"min-version", {Kind::Text, checkVersion}},
        {"expect-sha256", {Kind::Text, checkSha256}},
        {"timeout", {Kind::Number, checkNumber}},
        {"settle", {Kind::Number, checkNumber}},
        {"log", {Kind::Text, noCheck, true}},
        {"records", {Kind::Text, noCheck}},
        {"metrics", {Kind::Text, noCheck, true}},
        {"station-id", {Kind::Text, noCheck}},
        {"operator", {Kind::Text, noCheck}},
        {"unit-rule", {Kind::Text, checkRule}},
        {"require-unit", {Kind::Flag, noCheck}},
        {"units", {Kind::Text, noCheck, true}},
        {"slot-names", {Kind::Text, noCheck}},
        {"on-result", {Kind::Text, noCheck}},
        {"tls-ca", {Kind::Text, noCheck, true}},
        {"tls-cert", {Kind::Text, noCheck, true}},
        {"tls-key", {Kind::Text, noCheck, true}},
        {"line", {Kind::Text, noCheck}},
        {"offline-units", {Kind::Number, checkNumber}},
    };
    return known;
}

std::string keyList() {
    std::string list;
    for (const auto& [name, key] : keys())
        list += (list.empty() ? "" : ", ") + name;
    return list;
}

// "yes" or "no" as a profile may write them; nothing when it is neither.
std::optional<bool> flagOf(const std::string& value) {
    const QString word = QString::fromStdString(value).toLower();
    if (word == "true" || word == "yes" || word == "on" || word == "1")
        return true;
    if (word == "false" || word == "no" || word == "off" || word == "0")
        return false;
    return std::nullopt;
}

// What is wrong with one line, or nothing.
std::string lineProblem(const StationProfile::Entry& entry) {
    const auto key = keys().find(entry.key);
    if (key == keys().end())
        return "\"" + entry.key + "\" is not a station setting (" + keyList() + ")";
    if (entry.value.empty())
        return entry.key + " has no value";
    if (key->second.kind == Kind::Flag && !flagOf(entry.value))
        return entry.key + " takes yes or no";
    if (const std::string problem = key->second.check(entry.value); !problem.empty())
        return entry.key + " " + problem;
    return {};
}

} // namespace

std::string StationProfile::valueOf(const std::string& key) const {
    for (const Entry& entry : entries)
        if (entry.key == key)
            return entry.value;
    return {};
}

namespace {

// `value` of `key` with a relative file name made the profile folder's.
std::string resolved(const std::string& key, const std::string& value, const QDir& folder) {
    const auto known = keys().find(key);
    if (known == keys().end() || !known->second.path || value == "-")
        return value;
    std::string out;
    for (const std::string& item :
         known->second.kind == Kind::Many ? listOf(value) : std::vector{value}) {
        const QString name = QFile::decodeName(QByteArray::fromStdString(item));
        const std::string absolute =
            QFile::encodeName(QDir::cleanPath(folder.absoluteFilePath(name))).toStdString();
        out += (out.empty() ? "" : ",") + absolute;
    }
    return out;
}

// A value as written after its '=': quoted whole, or up to its comment.
QString valueOf(const QString& written) {
    const QString value = written.trimmed();
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        return value.mid(1, value.size() - 2);
    return withoutComment(value);
}

std::string linesOf(const std::vector<std::string>& problems) {
    std::string all;
    for (const std::string& problem : problems)
        all += (all.empty() ? "" : "\n") + problem;
    return all;
}

} // namespace

Result<StationProfile> readStationProfile(const std::string& path) {
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.open(QIODevice::ReadOnly))
        return fail("the profile " + path + " cannot be read: " + file.errorString().toStdString());
    // The profile names the command run after each attempt, as the station.
    if (const auto guarded = release::onlyOwnerCanChange(path); !guarded)
        return fail("the profile " + path + " is not used: " + guarded.error());
    const QDir folder = QFileInfo(file).absoluteDir();
    StationProfile profile{path, {}};
    // Every bad line is named, not only the first: one edit fixes them all.
    std::vector<std::string> problems;
    const auto wrong = [&](int line, const std::string& what) {
        problems.push_back(path + ":" + std::to_string(line) + ": " + what);
    };
    enum class Section { None, Station, Other } section = Section::None;
    int number = 0;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith('#') || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            section = line == QStringLiteral("[station]") ? Section::Station : Section::Other;
            if (section == Section::Other)
                wrong(number, "only a [station] section is read here");
            continue;
        }
        if (section == Section::Other)
            continue; // said once, at its heading
        const qsizetype equals = line.indexOf('=');
        if (section == Section::None || equals < 0) {
            wrong(number, section == Section::Station ? "not a \"key = value\" line"
                                                      : "settings go under [station]");
            continue;
        }
        StationProfile::Entry entry{line.left(equals).trimmed().toStdString(),
                                    valueOf(line.mid(equals + 1)).toStdString(), number};
        if (const std::string problem = lineProblem(entry); !problem.empty()) {
            wrong(number, problem);
            continue;
        }
        if (!profile.valueOf(entry.key).empty()) {
            wrong(number, entry.key + " is set twice");
            continue;
        }
        entry.value = resolved(entry.key, entry.value, folder);
        profile.entries.push_back(std::move(entry));
    }
    if (!problems.empty())
        return fail(linesOf(problems));
    return profile;
}

std::vector<std::string> profileArguments(const StationProfile& profile,
                                          const std::set<std::string>& given, bool fileGiven) {
    std::vector<std::string> arguments;
    std::string file;
    for (const auto& entry : profile.entries) {
        if (entry.key == "file") {
            file = entry.value;
            continue;
        }
        if (given.count(entry.key) != 0)
            continue;
        const Kind kind = keys().at(entry.key).kind;
        if (kind == Kind::Flag) {
            if (*flagOf(entry.value))
                arguments.push_back("--" + entry.key);
        } else if (entry.key == "slots") {
            for (const std::string& item : listOf(entry.value)) {
                const runs::TargetName slot = slotOf(item);
                arguments.push_back(slot.kind == runs::TargetName::Kind::Port     ? "--port"
                                    : slot.kind == runs::TargetName::Kind::Serial ? "--serial"
                                                                                  : "--device");
                arguments.push_back(slot.value);
            }
        } else if (kind == Kind::Many) {
            for (const std::string& item : listOf(entry.value))
                arguments.insert(arguments.end(), {"--" + entry.key, item});
        } else {
            arguments.insert(arguments.end(), {"--" + entry.key, entry.value});
        }
    }
    if (!fileGiven && !file.empty())
        arguments.push_back(file);
    return arguments;
}

std::set<std::string> givenOptions(const QStringList& names) {
    std::set<std::string> given;
    for (const QString& name : names) {
        if (name == "port" || name == "device" || name == "serial")
            given.insert("slots");
        else
            given.insert(name.toStdString());
    }
    return given;
}

} // namespace j4::station
