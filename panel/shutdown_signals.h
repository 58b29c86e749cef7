#pragma once
// The system's requests to end the program (Ctrl+C, SIGTERM at shutdown,
// SIGHUP at logout), delivered as a Qt signal on the UI thread.

#include <QObject>

namespace j4 {

class ShutdownSignals final : public QObject {
    Q_OBJECT

public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

signals:
    void requested();
};

} // namespace j4
