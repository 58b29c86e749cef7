#include "shutdown_signals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <memory>
#include <windows.h>

namespace j4 {
namespace {

// The session ending (logout, shutdown) reaches a window as
// WM_QUERYENDSESSION; a console the program was started from sends its
// Ctrl+C as a console event.
class EndSessionFilter final : public QAbstractNativeEventFilter {
public:
    explicit EndSessionFilter(ShutdownSignals* owner) : owner_(owner) {}
    bool nativeEventFilter(const QByteArray&, void* message, qintptr*) override {
        const auto* msg = static_cast<const MSG*>(message);
        if (msg->message == WM_QUERYENDSESSION || msg->message == WM_ENDSESSION)
            QMetaObject::invokeMethod(owner_, &ShutdownSignals::requested, Qt::QueuedConnection);
        return false;
    }

private:
    ShutdownSignals* owner_;
};

ShutdownSignals* consoleOwner = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (consoleOwner == nullptr || event > CTRL_CLOSE_EVENT)
        return FALSE;
    QMetaObject::invokeMethod(consoleOwner, &ShutdownSignals::requested, Qt::QueuedConnection);
    return TRUE;
}

std::unique_ptr<EndSessionFilter> filter;

} // namespace

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
    filter = std::make_unique<EndSessionFilter>(this);
    QCoreApplication::instance()->installNativeEventFilter(filter.get());
    consoleOwner = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

ShutdownSignals::~ShutdownSignals() {
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    consoleOwner = nullptr;
    QCoreApplication::instance()->removeNativeEventFilter(filter.get());
    filter.reset();
}

} // namespace j4
