#include "station_window.h"

#include "stop_question.h"
#include "ui_station_window.h"
#include "update_file_dialog.h"

#include "port_names.h"
#include "release_check.h"
#include "slots.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPalette>
#include <QRegularExpression>
#include <QScreen>

#include <algorithm>

namespace j4 {
namespace {

// What the operator typed into the new slot's field: a number is a port, a
// path is a device, anything else an adapter's serial number.
runs::TargetName slotNamed(const QString& text) {
    static const QRegularExpression number(QStringLiteral("^[0-9]+$"));
    if (number.match(text).hasMatch())
        return {runs::TargetName::Kind::Port, text.toStdString()};
    if (text.contains(QLatin1Char('/')) || text.contains(QLatin1Char('\\')))
        return {runs::TargetName::Kind::Device, QFile::encodeName(text).toStdString()};
    return {runs::TargetName::Kind::Serial, text.toStdString()};
}

// "ttyUSB0 — FT232R USB UART", or that nothing is plugged in there. A slot
// named by a stable link (/dev/serial/by-path/...) shows the port it leads
// to: the link's own long name is the Slot column's already, and would take
// the width the states need to stay on one line.
QString adapterText(const std::string& device, const std::string& description) {
    if (device.empty() || (!isRemoteAddress(device) && !QFile::exists(fromBytes(device))))
        return QStringLiteral("not plugged in");
    const QFileInfo info(fromBytes(device));
    QString text = info.fileName();
    if (!isRemoteAddress(device) && info.isSymLink()) {
        text = info.canonicalFilePath();
        if (text.startsWith(QStringLiteral("/dev/")))
            text.remove(0, 5); // ttyUSB0, pts/3
    }
    if (!description.empty())
        text += QStringLiteral(" \u2014 ") + QString::fromStdString(description);
    return text;
}

// The slots' labels for the table: a path's file name, and where names
// are long (by-path names, which differ in a few characters of forty),
// only the part in which they differ.
std::vector<QString> shortLabels(const std::vector<runs::TargetName>& targets) {
    constexpr qsizetype kShort = 20;
    std::vector<QString> labels;
    QStringList long_;
    for (const runs::TargetName& slot : targets) {
        QString label = fromBytes(station::slotLabel(slot));
        if (slot.kind == runs::TargetName::Kind::Device)
            label = QFileInfo(label).fileName();
        labels.push_back(label);
        if (label.size() > kShort)
            long_ << label;
    }
    if (long_.size() < 2)
        return labels;
    qsizetype prefix = long_.front().size();
    qsizetype suffix = prefix;
    for (const QString& label : long_) {
        qsizetype p = 0;
        while (p < prefix && p < label.size() && label[p] == long_.front()[p])
            ++p;
        prefix = p;
        qsizetype s = 0;
        while (s < suffix && s < label.size() &&
               label[label.size() - 1 - s] == long_.front()[long_.front().size() - 1 - s])
            ++s;
        suffix = s;
    }
    for (QString& label : labels)
        if (label.size() > kShort && label.size() > prefix + suffix)
            label = QStringLiteral("\u2026") + label.mid(prefix, label.size() - prefix - suffix) +
                    QStringLiteral("\u2026");
    return labels;
}

// ", signed by key 1A2B… — version 1.4.2", or nothing for an unsigned file.
QString signer(const DecodedFile& decoded) {
    const std::string line = release::signerLine(decoded);
    if (line.empty())
        return {};
    return QStringLiteral(", ") + QString::fromStdString(line).replace(0, 1, QLatin1Char('s'));
}

} // namespace

QString fromBytes(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

StationWindow::StationWindow(std::chrono::milliseconds answerTimeout)
    : WorkWindow(answerTimeout), ui_(std::make_unique<Ui::StationWindow>()),
      rows_((ui_->setupUi(this), ui_->slotTable)), deviceFolders_(this) {
    ui_->logView->setMaximumBlockCount(100000);
    for (QPushButton* button : findChildren<QPushButton*>())
        button->setAutoDefault(true); // Enter presses the focused button, as Space does
    // The table takes the room; the log gives it up.
    ui_->splitter->setStretchFactor(0, 1);
    ui_->splitter->setStretchFactor(1, 0);
    ui_->splitter->setSizes({560, 90});
    fitToFont();
    // The slot field shows its whole hint.
    const QFontMetrics metrics = ui_->slotEntry->fontMetrics();
    ui_->slotEntry->setMinimumWidth(metrics.horizontalAdvance(ui_->slotEntry->placeholderText()) +
                                    metrics.averageCharWidth() * 4);
    line_.units = std::make_shared<station::UnitScans>(*station::UnitScans::withRule({}));
    ui_->unitEntry->installEventFilter(this);
    unitHint_ = ui_->unitEntry->placeholderText();

    connect(ui_->chooseFileButton, &QPushButton::clicked, this, &StationWindow::chooseFile);
    connect(ui_->addSlotButton, &QPushButton::clicked, this, &StationWindow::addSlotFromEntry);
    connect(ui_->slotEntry, &QLineEdit::returnPressed, this, &StationWindow::addSlotFromEntry);
    connect(ui_->unitEntry, &QLineEdit::returnPressed, this, &StationWindow::scanUnit);
    connect(ui_->removeSlotButton, &QPushButton::clicked, this, &StationWindow::removeSelectedSlot);
    connect(ui_->startButton, &QPushButton::clicked, this, &StationWindow::startWatching);
    connect(ui_->stopButton, &QPushButton::clicked, this, &StationWindow::stopWatching);
    connect(ui_->copyLogButton, &QPushButton::clicked, this, &StationWindow::copyLog);
    connect(ui_->saveLogButton, &QPushButton::clicked, this, &StationWindow::saveLog);
    connect(ui_->quitButton, &QPushButton::clicked, this, &StationWindow::quit);
    resume_.emplace(this, ui_->resumeButton, [this](const QString& said) { appendLog(said); });
    connect(ui_->resumeButton, &QPushButton::clicked, this, &StationWindow::askToResumeLine);
    connect(&deviceFolders_, &DeviceFolderWatch::changed, this, &StationWindow::describeSlots);
    connect(&silence_, &QTimer::timeout, this, &StationWindow::showSilentDevices);
    silence_.setInterval(250);
    QTimer::singleShot(0, this,
                       [this] { setWindowIcon(QIcon(QStringLiteral(":/j4-updater.svg"))); });
    updateControls();
    markSettled(); // its slots are described as they are added
}

StationWindow::~StationWindow() = default;

bool StationWindow::addSlot(const runs::TargetName& slot) {
    if (watching())
        return false;
    std::vector<runs::TargetName> names;
    for (const Slot& existing : stationSlots_)
        names.push_back(existing.name);
    const bool again = std::find(names.begin(), names.end(), slot) != names.end();
    names.push_back(slot);
    const auto usable =
        again ? Result<Done>(fail("it is a slot already")) : station::checkSlots(names);
    if (!usable) {
        appendLog(
            QStringLiteral("Slot %1 not added: %2.")
                .arg(fromBytes(station::slotLabel(slot)), QString::fromStdString(usable.error())));
        return false;
    }
    stationSlots_.push_back({slot, false, {}, {}});
    const int row = static_cast<int>(stationSlots_.size()) - 1;
    rows_.add({}, fromBytes(station::slotLabel(slot)));
    labelSlots();
    describeSlot(row);
    watchSlotFolders();
    updateControls();
    return true;
}

void StationWindow::addSlotFromEntry() {
    if (addSlot(slotNamed(ui_->slotEntry->text().trimmed())))
        ui_->slotEntry->clear();
}

void StationWindow::removeSelectedSlot() {
    const int row = ui_->slotTable->currentRow();
    if (watching() || row < 0 || row >= static_cast<int>(stationSlots_.size()))
        return;
    stationSlots_.erase(stationSlots_.begin() + row);
    rows_.remove(row);
    labelSlots();
    updateControls();
}

// The default size is for the desktop's usual font; a larger one grows the
// window as far as the screen allows, and the log gives up its room first,
// so that 16 slots stay in view.
void StationWindow::fitToFont() {
    const double scale = std::max(1.0, fontMetrics().height() / 17.0);
    if (scale <= 1.0)
        return;
    QSize size = (QSizeF(this->size()) * scale).toSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        // Room for the title bar above the available area's own limit.
        const QRect room = screen->availableGeometry().adjusted(0, 0, 0, -48);
        size = size.boundedTo(room.size());
    }
    resize(size);
    ui_->splitter->setSizes({size.height(), ui_->logPane->minimumSizeHint().height()});
}

void StationWindow::setSlotNames(std::vector<QString> names) {
    slotNames_ = std::move(names);
    labelSlots();
}

void StationWindow::labelSlots() {
    std::vector<runs::TargetName> names;
    for (const Slot& slot : stationSlots_)
        names.push_back(slot.name);
    const std::vector<QString> labels = shortLabels(names);
    for (std::size_t row = 0; row < labels.size(); ++row)
        rows_.setLabel(static_cast<int>(row), row < slotNames_.size() && !slotNames_[row].isEmpty()
                                                  ? slotNames_[row]
                                                  : labels[row]);
}

void StationWindow::chooseFile() {
    if (watching())
        return;
    UpdateFileDialog::ask(this, [this](const QString& path) { setUpdateFile(path); });
}

bool StationWindow::setUpdateFile(const QString& path) {
    if (watching())
        return false;
    ui_->fileName->setText(path);
    UpdateFileDialog::remember(path);
    file_ = QFile::encodeName(path).toStdString();
    PreparedFile prepared =
        release::prepareReleased(release_, file_, UpdateFileReader::Kinds::RegularOnly);
    j4::expectSha256(prepared, expectedSha256_);
    decoded_ = prepared.decoded;
    if (!prepared.ok())
        ui_->fileSummary->setText(QString::fromStdString(prepared.text + " " + prepared.detail));
    else
        ui_->fileSummary->setText(QStringLiteral("%1 frames, %2 bytes, SHA-256 %3")
                                      .arg(decoded_->frames)
                                      .arg(decoded_->image.size())
                                      .arg(QString::fromStdString(decoded_->sha256)) +
                                  signer(*decoded_));
    updateControls();
    return prepared.ok();
}

void StationWindow::startWatching() {
    if (watching() || !(decoded_ || line_.follow) || stationSlots_.empty())
        return;
    std::vector<runs::TargetName> names;
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row) {
        names.push_back(stationSlots_[row].name);
        rows_.setState(row, SlotRows::State::Waiting);
    }
    if (line_.follow)
        appendLog(QStringLiteral("Watching %1 slots for line %2.")
                      .arg(names.size())
                      .arg(QString::fromStdString(line_.follow->line)));
    else
        appendLog(QStringLiteral("Watching %1 slots for %2 (SHA-256 %3).")
                      .arg(names.size())
                      .arg(fromBytes(file_), QString::fromStdString(decoded_->sha256)));
    if (profile_.isEmpty())
        rememberSetup();
    // The station watches the slots' folders itself meanwhile.
    deviceFolders_.suspend();
    job_.start(decoded_, std::move(names), file_, line_, outlets(stationSlots_.size()), this,
               callbacks(), [this] { onEnded(); });
    silence_.start();
    updateControls();
    focusNextAction();
}

RunCallbacks StationWindow::callbacks() {
    RunCallbacks callbacks;
    callbacks.started = [this](int slot) { onStarted(slot); };
    callbacks.progress = [this](int slot, int percent) { onProgress(slot, percent); };
    callbacks.finished = [this](int slot, const runs::AttemptReport& report) {
        onFinished(slot, report);
    };
    callbacks.tallied = [this](int slot, const runs::SlotTally& tally) { onTallied(slot, tally); };
    callbacks.slotChanged = [this](int) { deviceFolders_.nudge(); };
    callbacks.deviceSeen = [this](int slot, const QString&) {
        // The adapter it came on, then: its update is under way from here,
        // as its row says (closing asks first even while its port is being
        // opened), and a row being updated keeps what it shows.
        describeSlot(slot);
        stationSlots_[slot].updating = true;
        rows_.setState(slot, SlotRows::State::Updating);
        rows_.setUnit(slot, {});
    };
    callbacks.waitingForUnit = [this](int slot) {
        stationSlots_[slot].updating = false; // nothing is sent until its scan
        rows_.setState(slot, SlotRows::State::WaitingForUnit);
        appendLog(QStringLiteral("Slot %1: scan the unit's label.").arg(slot + 1));
    };
    callbacks.unitGiven = [this](int slot, const QString& unit) { rows_.setUnit(slot, unit); };
    callbacks.lineShown = [this](const QString& sends, const QString& held) {
        showLine(sends, held);
    };
    callbacks.devicePulled = [this](int slot) {
        stationSlots_[slot].updating = false;
        describeSlot(slot);
        QString& last = stationSlots_[slot].lastResult;
        rows_.setState(slot, SlotRows::State::Waiting,
                       last.isEmpty() ? QString()
                                      : QStringLiteral("plug in a device; the last one ") + last);
        last.clear();
    };
    callbacks.notice = [this](const QString& text) { appendLog(text); };
    return callbacks;
}

void StationWindow::stopWatching() {
    if (!watching())
        return;
    job_.requestStop();
    ui_->stopButton->setEnabled(false);
}

void StationWindow::onEnded() {
    silence_.stop();
    appendLog(QStringLiteral("Stopped watching."));
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row) {
        const Slot& s = stationSlots_[row];
        stationSlots_[row].updating = false;
        rows_.setProgress(row, -1);
        rows_.setState(row, SlotRows::State::NotWatching);
        appendLog(QStringLiteral("  ") + fromBytes(station::tallyLine(row, s.name, s.tally)));
    }
    deviceFolders_.resume();
    updateControls();
    focusNextAction();
    workEnded();
}

void StationWindow::showAdapter(int row, const std::string& device, const std::string& description,
                                const std::string& serial) {
    rows_.setAdapter(row, adapterText(device, description), QString::fromStdString(serial));
}

void StationWindow::watchSlotFolders() {
    QStringList paths;
    for (const Slot& slot : stationSlots_)
        for (const QString& path : station::slotPaths(slot.name))
            paths << path;
    deviceFolders_.watch(paths);
}

void StationWindow::quit() {
    if (!watching()) {
        emit exitRequested(0);
        return;
    }
    if (!anyUpdating()) {
        shutDown(0);
        return;
    }
    askToStopUpdate(this, [this] { shutDown(0); });
}

bool StationWindow::anyUpdating() const {
    return std::any_of(stationSlots_.begin(), stationSlots_.end(),
                       [](const Slot& slot) { return slot.updating; });
}

void StationWindow::closeEvent(QCloseEvent* event) {
    // Closing acts as Quit: while a device is being updated it asks first.
    event->ignore();
    quit();
}

void StationWindow::updateControls() {
    const bool on = watching();
    // A profile's file and slots stay as it sets them.
    for (QWidget* control : std::initializer_list<QWidget*>{
             ui_->chooseFileButton, ui_->slotEntry, ui_->addSlotButton, ui_->removeSlotButton})
        control->setEnabled(!on && profile_.isEmpty());
    ui_->chooseFileButton->setEnabled(ui_->chooseFileButton->isEnabled() && !line_.follow);
    ui_->startButton->setEnabled(!on && (decoded_ || line_.follow) && !stationSlots_.empty());
    ui_->stopButton->setEnabled(on);
}

QLabel* StationWindow::recordsLine() {
    return ui_->recordsLine;
}

} // namespace j4
