#include "state_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace j4::line {
namespace {

namespace fs = std::filesystem;

// As Qt names it, whatever the platform's own form of a path.
QString qPath(const fs::path& path) {
    return QFileInfo(path).filePath();
}

bool write(const fs::path& path, const QByteArray& bytes) {
    QSaveFile file(qPath(path));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QByteArray read(const fs::path& path) {
    QFile file(qPath(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject asJson(const LineAssignment& a) {
    return {{"id", a.id},
            {"line", QString::fromStdString(a.line)},
            {"file_sha256", QString::fromStdString(a.sha256)},
            {"version", QString::fromStdString(a.version)},
            {"work_order", QString::fromStdString(a.workOrder)},
            {"lot", QString::fromStdString(a.lot)},
            {"part_number", QString::fromStdString(a.partNumber)},
            {"quantity", a.quantity}};
}

LineAssignment fromJson(const QJsonObject& o) {
    LineAssignment a;
    a.id = o["id"].toInteger();
    a.line = o["line"].toString().toStdString();
    a.sha256 = o["file_sha256"].toString().toStdString();
    a.version = o["version"].toString().toStdString();
    a.workOrder = o["work_order"].toString().toStdString();
    a.lot = o["lot"].toString().toStdString();
    a.partNumber = o["part_number"].toString().toStdString();
    a.quantity = o["quantity"].toInteger();
    return a;
}

fs::path assignmentFile(const fs::path& folder) {
    return folder / "assignment.json";
}

fs::path pendingFile(const fs::path& folder) {
    return folder / "pending.json";
}

constexpr const char* kKindNames[] = {"settle", "give_back", "offline"};

} // namespace

fs::path StateFolder::releaseFile(const std::string& sha256) const {
    return path_ / (sha256 + ".j4u");
}

fs::path StateFolder::signatureOf(const fs::path& release) {
    return fs::path(release).concat(".minisig");
}

bool StateFolder::keepRelease(const std::string& sha256, std::span<const std::uint8_t> file,
                              const std::string& signature) const {
    const fs::path release = releaseFile(sha256);
    const QByteArray bytes(reinterpret_cast<const char*>(file.data()),
                           static_cast<qsizetype>(file.size()));
    // The signature first: a release kept without its own is refused.
    return write(signatureOf(release), QByteArray::fromStdString(signature)) &&
           write(release, bytes);
}

bool StateFolder::keepAssignment(const LineAssignment& assignment) const {
    return write(assignmentFile(path_), QJsonDocument(asJson(assignment)).toJson());
}

std::optional<LineAssignment> StateFolder::keptAssignment() const {
    const QByteArray text = read(assignmentFile(path_));
    if (text.isEmpty())
        return std::nullopt;
    return fromJson(QJsonDocument::fromJson(text).object());
}

bool StateFolder::keepPending(const std::vector<PendingUnit>& pending) const {
    QJsonArray units;
    for (const PendingUnit& unit : pending)
        units.append(QJsonObject{{"kind", kKindNames[static_cast<int>(unit.kind)]},
                                 {"attempt", QString::fromStdString(unit.attempt)},
                                 {"completed", unit.completed},
                                 {"assignment", unit.assignment}});
    return write(pendingFile(path_), QJsonDocument(units).toJson(QJsonDocument::Compact));
}

std::vector<PendingUnit> StateFolder::keptPending() const {
    std::vector<PendingUnit> pending;
    for (const QJsonValue value : QJsonDocument::fromJson(read(pendingFile(path_))).array()) {
        const QJsonObject o = value.toObject();
        PendingUnit unit;
        const QString kind = o["kind"].toString();
        for (int k = 0; k < 3; ++k)
            if (kind == QLatin1String(kKindNames[k]))
                unit.kind = static_cast<PendingUnit::Kind>(k);
        unit.attempt = o["attempt"].toString().toStdString();
        unit.completed = o["completed"].toBool();
        unit.assignment = o["assignment"].toInteger();
        if (!unit.attempt.empty())
            pending.push_back(std::move(unit));
    }
    return pending;
}

std::filesystem::path lineStateFolder(const std::string& line) {
    QString folder = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (folder.isEmpty()) {
        const QString state = qEnvironmentVariable("XDG_STATE_HOME");
        folder = (state.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/state") : state) +
                 QStringLiteral("/j4-updater");
    }
    return std::filesystem::path(QFile::encodeName(folder).toStdString()) / ("line-" + line);
}

} // namespace j4::line
