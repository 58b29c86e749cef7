#include "main_panel.h"

#include "port_names.h"
#include "ui_j4_updater.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QHash>
#include <QMessageBox>

#include <future>

namespace j4 {
namespace {

const QHash<QString, ControlCallback>& routinesByName() {
    static const QHash<QString, ControlCallback> routines{
        {QStringLiteral("Choice_File"), &Choice_File},
        {QStringLiteral("Start_Update"), &Start_Update},
        {QStringLiteral("Quit"), &Quit},
    };
    return routines;
}

QString describe(int number) {
    const auto port = portForNumber(number);
    return port ? QStringLiteral("Port %1: %2").arg(number).arg(port->text())
                : QStringLiteral("No serial port has the number %1.").arg(number);
}

} // namespace

// Runs `f` on the UI thread and returns its result; the calling thread waits.
template <class F> auto MainPanel::onUiThread(F&& f) {
    using Result = decltype(f());
    if (QThread::currentThread() == thread())
        return f();
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::BlockingQueuedConnection);
    } else {
        Result result{};
        QMetaObject::invokeMethod(
            this, [&] { result = f(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

std::unique_ptr<MainPanel> MainPanel::load(UpdaterState& state, SerialLink& link) {
    std::unique_ptr<MainPanel> panel(new MainPanel(state, link));
    if (!panel->bindCallbacks())
        return nullptr;
    return panel;
}

MainPanel::MainPanel(UpdaterState& state, SerialLink& link)
    : ui_(std::make_unique<Ui::MainPanel>()), context_{state, *this, link, &describe},
      actionsHost_(std::make_unique<QObject>()) {
    ui_->setupUi(this);
    move(100, 100);
    setVisible(NUMERICSLIDE_PROGRESS, false);
    actionsThread_.setObjectName(QStringLiteral("operator actions"));
    actionsHost_->moveToThread(&actionsThread_);
    actionsThread_.start();
    connect(this, &MainPanel::routineFinished, this, [this] { busy_ = false; });
    connect(ui_->NUMERIC_COMPORT, &QSpinBox::valueChanged, this, &MainPanel::refreshPortToolTip);
    refreshPortToolTip(ui_->NUMERIC_COMPORT->value());
}

MainPanel::~MainPanel() {
    // Close and Quit are refused while a routine runs, so normally nothing
    // runs here. If something still does, let it finish: answer its dialogs
    // and carry out the window calls it waits for.
    while (busy_) {
        for (QDialog* dialog : findChildren<QDialog*>()) {
            if (dialog->isVisible())
                dialog->reject();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    actionsThread_.quit();
    actionsThread_.wait();
    // The host object belongs to the stopped thread; deleting it here is safe
    // now that nothing runs there.
    actionsHost_.reset();
}

bool MainPanel::bindCallbacks() {
    for (int id = NUMERIC_COMPORT; id <= BUTTON_START_UPDATE; ++id) {
        QWidget* widget = control(id);
        if (widget == nullptr)
            return false;
        const QString name = widget->property("callback").toString();
        if (name.isEmpty())
            continue;
        const auto routine = routinesByName().find(name);
        auto* button = qobject_cast<QAbstractButton*>(widget);
        if (routine == routinesByName().end() || button == nullptr)
            return false;
        const ControlCallback callback = *routine;
        connect(button, &QAbstractButton::clicked, this,
                [this, id, callback] { dispatch(id, callback); });
    }
    return true;
}

void MainPanel::dispatch(int controlId, ControlCallback callback) {
    // One routine at a time, as when the routines held the event loop: a
    // press that comes while one runs is not taken.
    if (busy_)
        return;
    busy_ = true;
    QMetaObject::invokeMethod(actionsHost_.get(), [this, controlId, callback] {
        lastProgress_ = -1;
        callback(PANEL_MAIN, controlId, EVENT_COMMIT, &context_, 0, 0);
        emit routineFinished();
    });
}

QWidget* MainPanel::control(int id) const {
    switch (id) {
    case NUMERIC_COMPORT:
        return ui_->NUMERIC_COMPORT;
    case BUTTON_FILE_CHOICE:
        return ui_->BUTTON_FILE_CHOICE;
    case NUMERICSLIDE_PROGRESS:
        return ui_->NUMERICSLIDE_PROGRESS;
    case COMMANDBUTTON:
        return ui_->COMMANDBUTTON;
    case TEXTBOX_FILE_NAME:
        return ui_->TEXTBOX_FILE_NAME;
    case BUTTON_START_UPDATE:
        return ui_->BUTTON_START_UPDATE;
    default:
        return nullptr;
    }
}

void MainPanel::refreshPortToolTip(int number) {
    ui_->NUMERIC_COMPORT->setToolTip(describe(number));
}

void MainPanel::closeEvent(QCloseEvent* event) {
    // Closing acts as Quit, but never while an update runs: the device would
    // be left with half an image.
    event->ignore();
    if (!busy_)
        dispatch(COMMANDBUTTON, &Quit);
}

// Shows the dialog `make` builds and returns `read(dialog, result)` once the
// operator has closed it. From the actions thread the dialog opens without a
// nested event loop while that thread waits; on the UI thread it runs modally.
template <class Result, class Make, class Read> Result MainPanel::runDialog(Make make, Read read) {
    if (QThread::currentThread() == thread()) {
        std::unique_ptr<std::remove_pointer_t<decltype(make())>> dialog(make());
        const int result = dialog->exec();
        return read(dialog.get(), result);
    }
    std::promise<Result> done;
    onUiThread([&] {
        auto* dialog = make();
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowModality(Qt::ApplicationModal);
        connect(dialog, &QDialog::finished, dialog,
                [&done, &read, dialog](int result) { done.set_value(read(dialog, result)); });
        dialog->open();
    });
    return done.get_future().get();
}

void MainPanel::messagePopup(const QString& title, const QString& text, const QString& detail) {
    runDialog<bool>(
        [&] {
            auto* box = new QMessageBox(title == QLatin1String("Info") ? QMessageBox::Information
                                                                       : QMessageBox::Critical,
                                        title, text, QMessageBox::Ok, this);
            box->setObjectName(QStringLiteral("message"));
            box->setInformativeText(detail);
            return box;
        },
        [](QMessageBox*, int) { return true; });
}

std::optional<QString> MainPanel::fileSelectPopup(const FileDialogRequest& request) {
    return runDialog<std::optional<QString>>(
        [&] {
            auto* dialog = new QFileDialog(this, request.title, request.startDirectory);
            dialog->setObjectName(QStringLiteral("fileDialog"));
            dialog->setFileMode(QFileDialog::ExistingFile);
            dialog->setAcceptMode(QFileDialog::AcceptOpen);
            dialog->setNameFilter(request.fileTypes);
            dialog->setOption(QFileDialog::ReadOnly, !request.allowNewDirectory);
            if (!request.restrictExtension)
                dialog->setNameFilters({request.fileTypes, QStringLiteral("All files (*)")});
            return dialog;
        },
        [](QFileDialog* dialog, int result) -> std::optional<QString> {
            const QStringList files = dialog->selectedFiles();
            if (result == QDialog::Accepted && !files.isEmpty())
                return files.first();
            return std::nullopt;
        });
}

void MainPanel::resetTextBox(int controlId, const QString& text) {
    onUiThread([=, this] {
        if (auto* box = qobject_cast<QLineEdit*>(control(controlId)))
            box->setText(text);
    });
}

void MainPanel::setValue(int controlId, int value) {
    if (controlId == NUMERICSLIDE_PROGRESS && QThread::currentThread() != thread()) {
        // Reported before every frame; only changes are worth a repaint, and
        // the transfer must not wait for the window to draw them.
        if (value == lastProgress_)
            return;
        lastProgress_ = value;
        QMetaObject::invokeMethod(
            this, [this, value] { ui_->NUMERICSLIDE_PROGRESS->setValue(value); },
            Qt::QueuedConnection);
        return;
    }
    onUiThread([=, this] {
        if (auto* bar = qobject_cast<QProgressBar*>(control(controlId)))
            bar->setValue(value);
        else if (auto* spin = qobject_cast<QSpinBox*>(control(controlId)))
            spin->setValue(value);
    });
}

int MainPanel::value(int controlId) {
    return onUiThread([=, this] {
        if (auto* bar = qobject_cast<QProgressBar*>(control(controlId)))
            return bar->value();
        if (auto* spin = qobject_cast<QSpinBox*>(control(controlId)))
            return spin->value();
        return 0;
    });
}

void MainPanel::setDimmed(int controlId, bool dimmed) {
    onUiThread([=, this] {
        if (QWidget* widget = control(controlId))
            widget->setEnabled(!dimmed);
    });
}

void MainPanel::setVisible(int controlId, bool visible) {
    onUiThread([=, this] {
        QWidget* widget = control(controlId);
        if (widget == nullptr)
            return;
        // A control shows and hides with its caption and its value display.
        widget->setVisible(visible);
        for (const char* part : {"_label", "_value"}) {
            if (auto* extra = findChild<QWidget*>(widget->objectName() + QLatin1String(part)))
                extra->setVisible(visible);
        }
    });
}

void MainPanel::setPanelDimmed(bool dimmed) {
    // The controls' own container, not the window: message boxes and dialogs
    // are the window's children and must stay usable. Each control keeps its
    // own dimmed state underneath.
    onUiThread([=, this] { ui_->panelContent->setEnabled(!dimmed); });
}

void MainPanel::displayPanel() {
    onUiThread([this] {
        show();
        raise();
        activateWindow();
    });
}

void MainPanel::processEvents() {
    // A blocking round trip: everything queued for the window before it has
    // been carried out when it returns.
    onUiThread([] { QCoreApplication::processEvents(); });
}

void MainPanel::quitUserInterface() {
    // exit(), not quit(): quit() first asks every window to close, and a
    // window close is itself routed here.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

} // namespace j4
