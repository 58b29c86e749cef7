#include "work_window.h"

#include "log_writer.h"

#include <cstdio>
#include <utility>

namespace j4 {

void WorkWindow::markSettled() {
    if (std::exchange(settled_, true))
        return;
    emit settled();
}

void WorkWindow::shutDown(int exitCode) {
    if (!working()) {
        emit exitRequested(exitCode);
        return;
    }
    exitWhenIdle_ = exitCode;
    stopWork();
}

bool WorkWindow::workEnded() {
    if (!exitWhenIdle_)
        return false;
    emit exitRequested(*exitWhenIdle_);
    return true;
}

void WorkWindow::keepMetricsIn(std::string path) {
    metricsPath_ = std::move(path);
    // Attempts a full disk keeps out of the log, with or without records.
    connect(&recordsRelay_, &RecordsRelay::unloggedCount, this, [this](qulonglong count) {
        if (metrics_)
            static_cast<void>(metrics_->setUnlogged(count));
    });
}

void WorkWindow::sendRecordsTo(std::string url) {
    recordsUrl_ = std::move(url);
    connect(&recordsRelay_, &RecordsRelay::saidText, this, [this](const QString& text) {
        std::fprintf(stderr, "j4_updater: %s\n", text.toLocal8Bit().constData());
        recordsLine()->setToolTip(text);
        recordsSaid(text);
    });
    connect(&recordsRelay_, &RecordsRelay::unsentCount, this, [this](qulonglong count) {
        if (metrics_)
            static_cast<void>(metrics_->setUnsent(count));
        recordsLine()->setText(count == 0   ? QString()
                               : count == 1 ? tr("1 record waits for the database")
                                            : tr("%1 records wait for the database").arg(count));
    });
    connect(&recordsRelay_, &RecordsRelay::refusedCount, this, [this](qulonglong count) {
        if (metrics_)
            static_cast<void>(metrics_->setRefused(count));
    });
    // The sender starts now, not at the first attempt: what an earlier run
    // left in the log goes at once.
    static_cast<void>(records());
}

std::shared_ptr<records::RecordKeeping> WorkWindow::records() {
    const std::string log = runs::logFromEnvironment();
    if (!records_ || log != recordsLog_) {
        records_.reset(); // its sender stops before another starts on the log
        records_ = std::make_shared<records::RecordKeeping>(
            records::RecordOptions{log, recordsUrl_, runs::stationFromEnvironment(), operatorName_},
            recordsRelay_);
        recordsLog_ = log;
    }
    return records_;
}

std::shared_ptr<station::StationMetrics> WorkWindow::metrics(std::size_t slotCount) {
    if (metricsPath_.empty())
        return nullptr;
    // A station of another size starts its counts afresh.
    if (!metrics_ || metrics_->slotCount() != slotCount)
        metrics_ = std::make_shared<station::StationMetrics>(
            metricsPath_, runs::stationOrHost(runs::stationFromEnvironment()), slotCount);
    if (records_)
        static_cast<void>(metrics_->setUnsent(records_->unsent()));
    return metrics_;
}

} // namespace j4
