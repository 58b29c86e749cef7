#include "updater_window.h"

#include <QFile>

#include "release_check.h"
#include "stop_question.h"
#include "ui_j4_updater.h"
#include "update_file_dialog.h"
#include "update_file_reader.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QSignalBlocker>
#include <QTime>

#include <QFileDialog>
#include <QFileInfo>
#include <QHelpEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QSettings>

#include "window_settings.h"
#include <QToolTip>
#include <algorithm>

// The icon's resource lives in a static library: registered by hand, as
// Qt asks of resources there.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

namespace j4 {
namespace {

const QString kProgressLabel = QStringLiteral("Update Progress");
constexpr auto kWaitingShownAfter = std::chrono::seconds(1);
constexpr qint64 kPortListMaxAgeMs = 3000;
constexpr auto kIconAfter = std::chrono::milliseconds(100);

// The panel's colours through palettes, not style sheets: a style sheet costs
// a fifth of the start-up time.
void setColours(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, role, colour);
    widget->setPalette(palette);
}

// The panel keeps its own light look whatever the desktop's palette: every
// background it sets comes with its text, so a dark desktop never puts white
// text on beige. Disabled text stays the desktop's, dimmed.
void setInk(QWidget* widget, std::initializer_list<QPalette::ColorRole> roles) {
    QPalette palette = widget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive})
        for (auto role : roles)
            palette.setColor(group, role, Qt::black);
    widget->setPalette(palette);
}

// "Completed 14:02:31 — demo.j4u, port 3 (ttyUSB0)", "Failed 14:02:31 —
// CRC error. File damaged."
QString resultText(const runs::AttemptReport& report, const QString& sent) {
    const QString time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    if (!report.completed())
        return QStringLiteral("Failed %1 \u2014 %2").arg(time, QString::fromStdString(report.text));
    QString where = QStringLiteral("port %1").arg(report.portNumber.value_or(0));
    if (!report.device.empty())
        where += QStringLiteral(" (%1)").arg(
            QFileInfo(QFile::decodeName(QByteArray::fromStdString(report.device))).fileName());
    return QStringLiteral("Completed %1 \u2014 %2, %3").arg(time, sent, where);
}

// A port as the list by name shows it: "3 — ttyUSB0, FT232R USB UART, serial
// A50285BI", pinned ones marked.
QString portEntry(const PortDescription& port) {
    QString text =
        QStringLiteral("%1 \u2014 %2").arg(port.number).arg(QFileInfo(port.device).fileName());
    if (!port.description.isEmpty())
        text += QStringLiteral(", ") + port.description;
    else if (!isRemoteAddress(port.device.toStdString()) && !QFileInfo::exists(port.device))
        text += QStringLiteral(", not plugged in");
    if (port.source == PortDescription::Source::PortsFile)
        text += QStringLiteral(" (pinned)");
    return text;
}

} // namespace

UpdaterWindow::UpdaterWindow(std::chrono::milliseconds answerTimeout)
    : WorkWindow(answerTimeout), ui_(std::make_unique<Ui::UpdaterWindow>()), deviceFolders_(this) {
    ui_->setupUi(this);
    move(100, 100);
    initResources();
    setInk(this, {QPalette::WindowText, QPalette::ButtonText, QPalette::Text});
    setColours(ui_->fileName, QPalette::Base, QColor(0xEC, 0xE9, 0xD8));
    // Its black digits on white, as on the light palette, whatever the desktop's.
    setColours(ui_->portNumber, QPalette::Base, Qt::white);
    for (auto role : {QPalette::Button, QPalette::Base, QPalette::Window})
        setColours(ui_->portList, role, Qt::white);
    for (QPushButton* button :
         {ui_->chooseFileButton, ui_->startButton, ui_->quitButton, ui_->stopButton})
        button->setAutoDefault(true); // Enter presses the focused button, as Space does
    // A fill bar of 0x3399FF on a grey track.
    setColours(ui_->progressBar, QPalette::Highlight, QColor(0x33, 0x99, 0xFF));
    setColours(ui_->progressBar, QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    waitingTimer_.setInterval(250);
    setAcceptDrops(true); // a .j4u from the file manager, chosen as from the dialog
    fitFileName();
    ui_->portNumber->installEventFilter(this);

    connect(ui_->chooseFileButton, &QPushButton::clicked, this, &UpdaterWindow::chooseFile);
    connect(ui_->startButton, &QPushButton::clicked, this, &UpdaterWindow::startUpdate);
    connect(ui_->quitButton, &QPushButton::clicked, this, &UpdaterWindow::quit);
    resume_.emplace(this, ui_->resumeButton, [this](const QString& said) { lineNoticed(said); });
    connect(ui_->resumeButton, &QPushButton::clicked, this,
            [this] { resume_->ask(ui_->lineNote->text()); });
    connect(ui_->stopButton, &QPushButton::clicked, this, &UpdaterWindow::askToStop);
    connect(ui_->portList, &QComboBox::activated, this, [this](int index) {
        ui_->portNumber->setValue(ui_->portList->itemData(index).toInt());
    });
    connect(ui_->progressBar, &QProgressBar::valueChanged, ui_->progressValue,
            qOverload<int>(&QLabel::setNum));
    connect(&waitingTimer_, &QTimer::timeout, this, &UpdaterWindow::showWaiting);
    connect(ui_->portNumber, &QSpinBox::valueChanged, this, &UpdaterWindow::showDevice);
    connect(&deviceFolders_, &DeviceFolderWatch::changed, this, [this] { portScan_.request(); });
    ui_->portNumber->setValue(windowSettings().value(kPortKey, ui_->portNumber->value()).toInt());
    // Watched before the first listing (see paintEvent), so that nothing
    // plugged in between goes unseen.
    deviceFolders_.watch();
    // The icon (its SVG plugin) once the window is up: the task bar can wait
    // for it a moment, the window's appearance should not.
    QTimer::singleShot(kIconAfter, this,
                       [this] { setWindowIcon(QIcon(QStringLiteral(":/j4-updater.svg"))); });
}

UpdaterWindow::~UpdaterWindow() = default;

void UpdaterWindow::startUpdate() {
    if (updating_ || (chosenFile_.isEmpty() && !lineFetched_))
        return;
    updating_ = true;
    ui_->resultLine->hide(); // until this attempt's own
    windowSettings().setValue(kPortKey, ui_->portNumber->value());
    setCursor(Qt::BusyCursor);
    pendingNotice_.clear();
    // The job calls back on this window, and not at all once it is gone.
    RunCallbacks callbacks;
    callbacks.opening = [this](int) { onOpeningPort(); };
    callbacks.started = [this](int) { onTransferring(); };
    callbacks.progress = [this](int, int percent) { onProgress(percent); };
    callbacks.finished = [this](int, const runs::AttemptReport& report) { onFinished(report); };
    callbacks.notice = [this](const QString& text) { pendingNotice_ = text; };
    callbacks.lineShown = [this](const QString& sends, const QString& held) {
        showLine(sends, held);
    };
    job_.start(
        requestForPort(QFile::encodeName(chosenFile_).toStdString(), ui_->portNumber->value()),
        outlets(1), this, std::move(callbacks));
}

void UpdaterWindow::onOpeningPort() {
    ui_->progressBar->setValue(0);
    showProgress(true);
    show();
    raise();
}

void UpdaterWindow::onTransferring() {
    ui_->controls->setEnabled(false);
    waitingTimer_.start();
}

void UpdaterWindow::onProgress(int percent) {
    ui_->progressBar->setValue(percent);
}

void UpdaterWindow::showWaiting() {
    const auto waited = job_.awaitingAnswerFor();
    if (waited < kWaitingShownAfter) {
        ui_->progressLabel->setText(kProgressLabel);
        return;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(waited).count();
    ui_->progressLabel->setText(
        QStringLiteral("%1 \u2014 waiting for the device (%2 s)").arg(kProgressLabel).arg(seconds));
}

void UpdaterWindow::onFinished(const runs::AttemptReport& report) {
    waitingTimer_.stop();
    // Asked whether to stop, and ended meanwhile: the question is moot.
    if (auto* question = findChild<QMessageBox*>(QStringLiteral("stopQuestion")))
        question->close();
    ui_->progressLabel->setText(kProgressLabel);
    if (workEnded())
        return;
    if (report.completed())
        ui_->progressBar->setValue(100);
    lastResult_ = resultText(report, followsLine() ? QStringLiteral("line ") + lineName_
                                                   : QFileInfo(chosenFile_).fileName());
    lastCompleted_ = report.completed();
    // Marked in the task bar when the operator is elsewhere.
    if (!isActiveWindow())
        QApplication::alert(this);
    QString detail = QString::fromStdString(report.detail);
    if (!pendingNotice_.isEmpty())
        detail += QLatin1Char(' ') + pendingNotice_;
    showMessage(report.completed() ? MessageKind::Info : MessageKind::Error,
                QString::fromStdString(report.text), detail);
}

void UpdaterWindow::showMessage(MessageKind kind, const QString& text, const QString& detail) {
    const bool info = kind == MessageKind::Info;
    auto* box = new QMessageBox(info ? QMessageBox::Information : QMessageBox::Critical,
                                info ? QStringLiteral("Info") : QStringLiteral("Error"), text,
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("message"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(detail);
    if (updating_)
        connect(box, &QDialog::finished, this, &UpdaterWindow::endAttempt);
    box->open();
}

void UpdaterWindow::endAttempt() {
    showProgress(false);
    showResult();
    ui_->controls->setEnabled(true);
    unsetCursor();
    updating_ = false;
}

void UpdaterWindow::showProgress(bool shown) {
    // Start and the progress share one band: one or the other.
    ui_->band->setCurrentWidget(shown ? ui_->progressPage : ui_->startPage);
}

void UpdaterWindow::quit() {
    if (!updating_)
        emit exitRequested(0);
}

QLabel* UpdaterWindow::recordsLine() {
    return ui_->recordsLine;
}

void UpdaterWindow::closeEvent(QCloseEvent* event) {
    // Closing acts as Quit; during an update it asks whether to stop it.
    event->ignore();
    if (job_.running())
        askToStop();
    else
        quit();
}

void UpdaterWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && job_.running()) {
        askToStop();
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpdaterWindow::askToStop() {
    // The transfer stops at its next frame boundary, as on a signal; the one
    // result message then says how far it got.
    askToStopUpdate(this, [this] { job_.requestStop(); });
}

void UpdaterWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        fitFileName();
    QWidget::changeEvent(event);
}

void UpdaterWindow::fitFileName() {
    // Room for a path of some forty characters, in whatever font.
    ui_->fileName->setMinimumWidth(ui_->fileName->fontMetrics().averageCharWidth() * 42);
}

void UpdaterWindow::showResult() {
    if (lastResult_.isEmpty())
        return;
    // Each background with its own text colour, 4.5:1 or more on any desktop.
    const QColor background = lastCompleted_ ? QColor(0x1B, 0x5E, 0x20) : QColor(0xB7, 0x1C, 0x1C);
    setColours(ui_->resultLine, QPalette::Window, background);
    setColours(ui_->resultLine, QPalette::WindowText, Qt::white);
    ui_->resultLine->setToolTip(lastResult_);
    ui_->resultLine->setText(lastResult_);
    ui_->resultLine->show();
}

void UpdaterWindow::fillPortList() {
    const QSignalBlocker quiet(ui_->portList);
    QComboBox* list = ui_->portList;
    // The same ports: only their texts change, and an open list stays open.
    bool same = list->count() == static_cast<int>(ports_.size());
    for (int i = 0; same && i < list->count(); ++i)
        same = list->itemData(i).toInt() == ports_[i].number;
    if (!same)
        list->clear();
    for (int i = 0; i < static_cast<int>(ports_.size()); ++i) {
        if (same)
            list->setItemText(i, portEntry(ports_[i]));
        else
            list->addItem(portEntry(ports_[i]), ports_[i].number);
    }
    list->setCurrentIndex(list->findData(ui_->portNumber->value()));
}

bool UpdaterWindow::eventFilter(QObject* watched, QEvent* event) {
    // Alt+Down on the number opens the list of ports by name.
    if (watched == ui_->portNumber && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Down && key->modifiers() == Qt::AltModifier) {
            ui_->portList->showPopup();
            return true;
        }
    }
    if (watched == ui_->portNumber && event->type() == QEvent::ToolTip) {
        // Built when asked for, from the list as last scanned.
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), portToolTip(ui_->portNumber->value()),
                           ui_->portNumber);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void UpdaterWindow::paintEvent(QPaintEvent* event) {
    // The ports are listed once the window's first frame is drawn: the
    // listing (udev, sysfs) would hold back the window's appearance, or
    // compete with it for the processor; the list fills in a few
    // milliseconds later.
    if (!portsAsked_) {
        portsAsked_ = true;
        QTimer::singleShot(0, this, [this] { portScan_.request(); });
    }
    WorkWindow::paintEvent(event);
}

void UpdaterWindow::onPortsListed(std::vector<PortDescription> ports) {
    ports_ = std::move(ports);
    portsAge_.start();
    showDevice();
    markSettled();
}

void UpdaterWindow::showDevice() {
    QString text = QStringLiteral("no port with this number");
    for (const PortDescription& port : ports_) {
        if (port.number != ui_->portNumber->value())
            continue;
        text = QFileInfo(port.device).fileName();
        if (!port.description.isEmpty())
            text += QStringLiteral(" \u2014 ") + port.description;
        else if (!isRemoteAddress(port.device.toStdString()) && !QFileInfo::exists(port.device))
            text += QStringLiteral(" (not plugged in)");
    }
    // The entries say afresh what is plugged in, from the list as scanned.
    fillPortList();
    ui_->deviceName->setToolTip(text);
    ui_->deviceName->setText(
        ui_->deviceName->fontMetrics().elidedText(text, Qt::ElideMiddle, ui_->deviceName->width()));
}

QString UpdaterWindow::portToolTip(int number) {
    // The list as last scanned; an old one is scanned afresh for the next
    // time (adapters coming and going are seen sooner, through their folders).
    if (portsAge_.isValid() && portsAge_.elapsed() > kPortListMaxAgeMs)
        portScan_.request();
    for (const PortDescription& port : ports_) {
        if (port.number == number)
            return QStringLiteral("Port %1: %2").arg(number).arg(port.text());
    }
    return QStringLiteral("No serial port has the number %1.").arg(number);
}

} // namespace j4
