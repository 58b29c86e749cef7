#pragma once
// What both windows are to the program around them: a window whose work
// runs off the UI thread, and which ends the program only once that work
// has stopped (a transfer at its next frame boundary, its port closed).

#include "record_keeping.h"
#include "records_relay.h"
#include "run_relay.h"
#include "station_metrics.h"
#include "tls_settings.h"

#include <QLabel>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace j4 {

// Where a window's work goes, as the command line says.
struct WorkSettings {
    std::string logPath;      // empty: no log
    std::string station;      // empty: the host's name
    std::string operatorName; // empty: the login's
    std::string metricsPath;  // empty: no metrics (j4_updater --metrics)
    std::string recordsUrl;   // empty: the records stay in the log (j4_updater --records)
    TlsSettings tls;          // for ports over TLS
};

class WorkWindow : public QWidget {
    Q_OBJECT

public:
    explicit WorkWindow(std::chrono::milliseconds answerTimeout);

    // A line per transmission on `stream` (j4_updater --verbose).
    void traceTransmissionsTo(std::FILE* stream) { trace_ = stream; }
    // Set before the first work starts; with a database, what an earlier run
    // left in the log is sent at once.
    void setWorkSettings(WorkSettings settings);
    // Whether what the window shows at start (the ports it lists) is in it.
    bool hasSettled() const { return settled_; }

public slots:
    virtual void quit() = 0;
    // The system asks the program to end (signal, logout): at once when
    // idle, else once the work has stopped.
    void shutDown(int exitCode);

signals:
    // Quit, or the end of a shutdown: the program should exit with `code`.
    void exitRequested(int code);
    // Once, when the window has settled.
    void settled();

protected:
    void markSettled();
    virtual bool working() const = 0;
    virtual void stopWork() = 0;
    // The work has ended: an exit waiting for it goes ahead. True when one did.
    bool workEnded();
    // Where a run of `slotCount` slots goes: real links, the trace, the
    // metrics (made when first asked for), the log and the database.
    JobOutlets outlets(std::size_t slotCount);
    // The line that shows how many records wait for the database, with the
    // sender's last sentence as its tool tip.
    virtual QLabel* recordsLine() = 0;
    // The sender's sentence (records wait, or have gone), besides.
    virtual void recordsSaid(const QString& text) { static_cast<void>(text); }

private:
    std::shared_ptr<station::StationMetrics> metrics(std::size_t slotCount);
    std::shared_ptr<records::RecordKeeping> records();

    std::chrono::milliseconds answerTimeout_;
    std::FILE* trace_ = nullptr;
    WorkSettings settings_;
    std::shared_ptr<station::StationMetrics> metrics_;
    // Declared before the records, which speak to it until they are gone.
    RecordsRelay recordsRelay_{this};
    std::shared_ptr<records::RecordKeeping> records_;
    std::size_t liveSlots_ = 0; // the slots the records' live state has
    std::optional<int> exitWhenIdle_;
    bool settled_ = false;
};

} // namespace j4
