// The station window's set-up: from a profile (and then locked), from the
// command line, or as the last station started here left it.

#include "station_window.h"
#include "ui_station_window.h"

#include "slots.h"

#include <QFile>
#include <QSettings>

#include "window_settings.h"
#include <QShowEvent>

namespace j4 {
namespace {

const QString kFileKey = QStringLiteral("station/file");
const QString kSlotsKey = QStringLiteral("station/slots");

// A slot as the settings keep it: "port:N", "device:PATH", "serial:SN".
QString slotSetting(const runs::TargetName& slot) {
    const char* kind = slot.kind == runs::TargetName::Kind::Port     ? "port:"
                       : slot.kind == runs::TargetName::Kind::Serial ? "serial:"
                                                                     : "device:";
    return QLatin1String(kind) + QFile::decodeName(QByteArray::fromStdString(slot.value));
}

std::optional<runs::TargetName> slotFromSetting(const QString& text) {
    using Kind = runs::TargetName::Kind;
    for (const auto& [prefix, kind] : {std::pair{QStringLiteral("port:"), Kind::Port},
                                       std::pair{QStringLiteral("serial:"), Kind::Serial},
                                       std::pair{QStringLiteral("device:"), Kind::Device}})
        if (text.startsWith(prefix))
            return runs::TargetName{kind, QFile::encodeName(text.mid(prefix.size())).toStdString()};
    return std::nullopt;
}

} // namespace

void StationWindow::setLine(std::chrono::milliseconds settle, const std::string& unitRule,
                            bool requireUnit, std::string onResult, const std::string& unitsFrom) {
    line_.settle = settle;
    if (auto units = station::UnitScans::withRule(unitRule))
        line_.units = std::make_shared<station::UnitScans>(*units);
    line_.requireUnit = requireUnit;
    line_.onResult = std::move(onResult);
    if (!unitsFrom.empty())
        appendLog(QStringLiteral("Scans come from the Unit field here: the units' source %1 is "
                                 "read by j4_flash --watch.")
                      .arg(QFile::decodeName(QByteArray::fromStdString(unitsFrom))));
}

void StationWindow::lockToProfile(const QString& profile) {
    profile_ = profile;
    ui_->profileLine->setText(QStringLiteral("Set by %1").arg(profile));
    ui_->profileLine->setToolTip(
        QStringLiteral("The update file, the slots and the pins come from this profile."));
    ui_->profileLine->setVisible(true);
    updateControls();
}

void StationWindow::offerLastSetup() {
    const QSettings settings = windowSettings();
    for (const QString& text : settings.value(kSlotsKey).toStringList())
        if (const auto slot = slotFromSetting(text))
            addSlot(*slot);
    if (const QString file = settings.value(kFileKey).toString(); !file.isEmpty())
        setUpdateFile(file);
}

void StationWindow::rememberSetup() const {
    QSettings settings = windowSettings();
    QStringList slotTexts;
    for (const Slot& slot : stationSlots_)
        slotTexts << slotSetting(slot.name);
    settings.setValue(kSlotsKey, slotTexts);
    settings.setValue(kFileKey, QFile::decodeName(QByteArray::fromStdString(file_)));
}

void StationWindow::showEvent(QShowEvent* event) {
    WorkWindow::showEvent(event);
    if (!event->spontaneous())
        focusNextAction();
}

// Where the operator's next action is: the unit's scan while watching,
// otherwise what is still missing, then Start.
void StationWindow::focusNextAction() {
    QWidget* next = ui_->startButton;
    if (watching())
        next = ui_->unitEntry;
    else if (!decoded_ && profile_.isEmpty())
        next = ui_->chooseFileButton;
    else if (stationSlots_.empty() && profile_.isEmpty())
        next = ui_->slotEntry;
    next->setFocus();
}

} // namespace j4
