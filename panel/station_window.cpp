#include "station_window.h"

#include "stop_question.h"
#include "ui_station_window.h"
#include "update_file_dialog.h"

#include "port_names.h"
#include "release_check.h"
#include "slots.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTime>

#include <algorithm>

namespace j4 {
namespace {

QString fromBytes(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

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

// "ttyUSB0 — FT232R USB UART", or that nothing is plugged in there.
QString adapterText(const std::string& device, const std::string& description) {
    if (device.empty() || (!isRemoteAddress(device) && !QFile::exists(fromBytes(device))))
        return QStringLiteral("not plugged in");
    QString text = QFileInfo(fromBytes(device)).fileName();
    if (!description.empty())
        text += QStringLiteral(" \u2014 ") + QString::fromStdString(description);
    return text;
}

// ", signed by key 1A2B… — version 1.4.2", or nothing for an unsigned file.
QString signer(const DecodedFile& decoded) {
    const std::string line = runs::signerLine(decoded);
    if (line.empty())
        return {};
    return QStringLiteral(", ") + QString::fromStdString(line).replace(0, 1, QLatin1Char('s'));
}

} // namespace

StationWindow::StationWindow(std::chrono::milliseconds answerTimeout)
    : ui_(std::make_unique<Ui::StationWindow>()), job_(answerTimeout), deviceFolders_(this) {
    ui_->setupUi(this);
    QHeaderView* header = ui_->slotTable->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(AdapterColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(StateColumn, QHeaderView::Stretch);
    ui_->logView->setMaximumBlockCount(100000);
    for (QPushButton* button : findChildren<QPushButton*>())
        button->setAutoDefault(true); // Enter presses the focused button, as Space does

    connect(ui_->chooseFileButton, &QPushButton::clicked, this, &StationWindow::chooseFile);
    connect(ui_->addSlotButton, &QPushButton::clicked, this, &StationWindow::addSlotFromEntry);
    connect(ui_->slotEntry, &QLineEdit::returnPressed, this, &StationWindow::addSlotFromEntry);
    connect(ui_->removeSlotButton, &QPushButton::clicked, this, &StationWindow::removeSelectedSlot);
    connect(ui_->startButton, &QPushButton::clicked, this, &StationWindow::startWatching);
    connect(ui_->stopButton, &QPushButton::clicked, this, &StationWindow::stopWatching);
    connect(ui_->copyLogButton, &QPushButton::clicked, this, &StationWindow::copyLog);
    connect(ui_->saveLogButton, &QPushButton::clicked, this, &StationWindow::saveLog);
    connect(ui_->quitButton, &QPushButton::clicked, this, &StationWindow::quit);
    connect(&deviceFolders_, &DeviceFolderWatch::changed, this, &StationWindow::describeSlots);
    QTimer::singleShot(0, this,
                       [this] { setWindowIcon(QIcon(QStringLiteral(":/j4-updater.svg"))); });
    updateControls();
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
        again ? Result<Done>(fail("it is a slot already")) : runs::checkSlots(names);
    if (!usable) {
        appendLog(
            QStringLiteral("Slot %1 not added: %2.")
                .arg(fromBytes(runs::slotLabel(slot)), QString::fromStdString(usable.error())));
        return false;
    }
    stationSlots_.push_back({slot, false, {}});
    const int row = ui_->slotTable->rowCount();
    ui_->slotTable->insertRow(row);
    setCell(row, SlotColumn, fromBytes(runs::slotLabel(slot)));
    setCell(row, StateColumn, QStringLiteral("not watching"));
    setCell(row, CompletedColumn, QStringLiteral("0"));
    setCell(row, FailedColumn, QStringLiteral("0"));
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
    ui_->slotTable->removeRow(row);
    updateControls();
}

void StationWindow::chooseFile() {
    if (watching())
        return;
    auto* dialog = new UpdateFileDialog(this);
    connect(dialog, &QFileDialog::fileSelected, this, &StationWindow::setUpdateFile);
    dialog->open();
}

bool StationWindow::setUpdateFile(const QString& path) {
    if (watching())
        return false;
    ui_->fileName->setText(path);
    UpdateFileDialog::remember(path);
    file_ = QFile::encodeName(path).toStdString();
    const auto policy = runs::ReleasePolicy::load({});
    PreparedFile prepared =
        policy ? policy->prepare(file_, UpdateFileReader::Kinds::RegularOnly)
               : PreparedFile{nullptr, UpdateOutcome::FileRefused, policy.error(), {}};
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
    if (watching() || !decoded_ || stationSlots_.empty())
        return;
    std::vector<runs::TargetName> names;
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row) {
        names.push_back(stationSlots_[row].name);
        setCell(row, StateColumn, QStringLiteral("waiting"));
    }
    appendLog(QStringLiteral("Watching %1 slots for %2 (SHA-256 %3).")
                  .arg(names.size())
                  .arg(fromBytes(file_), QString::fromStdString(decoded_->sha256)));
    RunCallbacks callbacks;
    callbacks.started = [this](int slot) { onStarted(slot); };
    callbacks.progress = [this](int slot, int percent) { onProgress(slot, percent); };
    callbacks.finished = [this](int slot, const UpdateReport& report) { onFinished(slot, report); };
    callbacks.tallied = [this](int slot, const runs::SlotTally& tally) { onTallied(slot, tally); };
    callbacks.slotChanged = [this](int) { deviceFolders_.nudge(); };
    callbacks.notice = [this](const QString& text) { appendLog(text); };
    // The station watches the slots' folders itself meanwhile.
    deviceFolders_.suspend();
    job_.traceTo(trace());
    job_.keepMetrics(metrics(stationSlots_.size()));
    job_.keepRecords(records());
    job_.start(decoded_, std::move(names), file_, this, std::move(callbacks),
               [this] { onEnded(); });
    updateControls();
}

void StationWindow::stopWatching() {
    if (!watching())
        return;
    job_.requestStop();
    ui_->stopButton->setEnabled(false);
}

void StationWindow::onStarted(int slot) {
    describeSlot(slot); // the device just plugged in, before its row is busy
    stationSlots_[slot].updating = true;
    setCell(slot, StateColumn, QStringLiteral("updating 0 %"));
}

void StationWindow::onProgress(int slot, int percent) {
    if (stationSlots_[slot].updating)
        setCell(slot, StateColumn, QStringLiteral("updating %1 %").arg(percent));
}

void StationWindow::onFinished(int slot, const UpdateReport& report) {
    stationSlots_[slot].updating = false;
    setCell(slot, StateColumn,
            report.completed() ? QStringLiteral("completed")
                               : QStringLiteral("failed: ") + QString::fromStdString(report.text));
    ui_->slotTable->item(slot, StateColumn)->setToolTip(QString::fromStdString(report.detail));
    showAdapter(slot, report.device, report.portDescription, report.adapterSerial);
    appendLog(fromBytes(runs::attemptLine(report)));
}

// The station's own counts: the window keeps none of its own.
void StationWindow::onTallied(int slot, const runs::SlotTally& tally) {
    stationSlots_[slot].tally = tally;
    setCell(slot, CompletedColumn, QString::number(tally.completed));
    setCell(slot, FailedColumn, QString::number(tally.failed));
}

void StationWindow::onEnded() {
    appendLog(QStringLiteral("Stopped watching."));
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row) {
        const Slot& s = stationSlots_[row];
        setCell(row, StateColumn, QStringLiteral("not watching"));
        appendLog(QStringLiteral("  ") + fromBytes(runs::tallyLine(row, s.name, s.tally)));
    }
    deviceFolders_.resume();
    updateControls();
    workEnded();
}

void StationWindow::setCell(int row, Column column, const QString& text) {
    QTableWidgetItem* item = ui_->slotTable->item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem; // owned by the table
        ui_->slotTable->setItem(row, column, item);
    }
    item->setText(text);
}

void StationWindow::describeSlots() {
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row)
        describeSlot(row);
}

void StationWindow::describeSlot(int row) {
    // A row being updated keeps the device its update started with.
    if (stationSlots_[row].updating)
        return;
    if (const auto request = runs::deviceInSlot(stationSlots_[row].name, file_))
        showAdapter(row, request->device, request->portDescription, request->adapterSerial);
    else
        showAdapter(row, {}, {}, {});
}

void StationWindow::showAdapter(int row, const std::string& device, const std::string& description,
                                const std::string& serial) {
    setCell(row, AdapterColumn, adapterText(device, description));
    setCell(row, SerialColumn,
            serial.empty() ? QStringLiteral("-") : QString::fromStdString(serial));
}

void StationWindow::watchSlotFolders() {
    QStringList paths;
    for (const Slot& slot : stationSlots_)
        for (const QString& path : runs::slotPaths(slot.name))
            paths << path;
    deviceFolders_.watch(paths);
}

void StationWindow::appendLog(const QString& line) {
    ui_->logView->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss  ")) +
                                  line);
}

void StationWindow::copyLog() {
    QGuiApplication::clipboard()->setText(ui_->logView->toPlainText());
}

void StationWindow::saveLog() {
    auto* dialog = new QFileDialog(this, QStringLiteral("Save log"));
    dialog->setObjectName(QStringLiteral("saveLogDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(QStringLiteral("Text files (*.txt)"));
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(ui_->logView->toPlainText().toUtf8() + '\n') < 0 || !file.commit())
            appendLog(QStringLiteral("The log could not be saved to %1: %2. Choose another file.")
                          .arg(path, file.errorString()));
    });
    dialog->open();
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
    for (QWidget* control : std::initializer_list<QWidget*>{
             ui_->chooseFileButton, ui_->slotEntry, ui_->addSlotButton, ui_->removeSlotButton})
        control->setEnabled(!on);
    ui_->startButton->setEnabled(!on && decoded_ && !stationSlots_.empty());
    ui_->stopButton->setEnabled(on);
}

QLabel* StationWindow::recordsLine() {
    return ui_->recordsLine;
}

} // namespace j4
