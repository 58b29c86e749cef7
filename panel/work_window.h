#pragma once
// What both windows are to the program around them: a window whose work
// runs off the UI thread, and which ends the program only once that work
// has stopped (a transfer at its next frame boundary, its port closed).

#include "record_keeping.h"
#include "records_relay.h"
#include "station_metrics.h"

#include <QLabel>
#include <QWidget>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace j4 {

class WorkWindow : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;

    // A line per transmission on `stream` (j4_updater --verbose).
    void traceTransmissionsTo(std::FILE* stream) { trace_ = stream; }
    // The station's state kept in `path` for Prometheus (j4_updater --metrics).
    void keepMetricsIn(std::string path);
    // Every attempt's record sent to the database at `url` through the log
    // (j4_updater --records).
    void sendRecordsTo(std::string url);
    // Who runs the updates, in every record (the login's when empty).
    void setOperatorName(std::string name) { operatorName_ = std::move(name); }
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
    std::FILE* trace() const { return trace_; }
    // The counts for `slotCount` slots, made when first asked for; none
    // without --metrics.
    std::shared_ptr<station::StationMetrics> metrics(std::size_t slotCount);
    // Where the attempts go: the log J4_UPDATE_LOG names now, and with
    // --records the database, through it.
    std::shared_ptr<records::RecordKeeping> records();
    // The line that shows how many records wait for the database, with the
    // sender's last sentence as its tool tip.
    virtual QLabel* recordsLine() = 0;
    // The sender's sentence (records wait, or have gone), besides.
    virtual void recordsSaid(const QString& text) { static_cast<void>(text); }

private:
    std::FILE* trace_ = nullptr;
    std::string metricsPath_;
    std::shared_ptr<station::StationMetrics> metrics_;
    std::string recordsUrl_;
    std::string operatorName_;
    // Declared before the records, which speak to it until they are gone.
    RecordsRelay recordsRelay_{this};
    std::shared_ptr<records::RecordKeeping> records_;
    std::string recordsLog_; // the log the records were made for
    std::optional<int> exitWhenIdle_;
    bool settled_ = false;
};

} // namespace j4
