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

WorkWindow::WorkWindow(std::chrono::milliseconds answerTimeout) : answerTimeout_(answerTimeout) {
    // Attempts a full disk keeps out of the log, with or without records.
    connect(&recordsRelay_, &RecordsRelay::unloggedCount, this, [this](qulonglong count) {
        if (metrics_)
            static_cast<void>(metrics_->setUnlogged(count));
    });
    connect(&recordsRelay_, &RecordsRelay::saidText, this, [this](const QString& text) {
        if (settings_.recordsUrl.empty())
            return;
        std::fprintf(stderr, "j4_updater: %s\n", text.toLocal8Bit().constData());
        recordsLine()->setToolTip(text);
        recordsSaid(text);
    });
    connect(&recordsRelay_, &RecordsRelay::unsentCount, this, [this](qulonglong count) {
        if (settings_.recordsUrl.empty())
            return;
        if (metrics_)
            static_cast<void>(metrics_->setUnsent(count));
        recordsLine()->setText(count == 0   ? QString()
                               : count == 1 ? tr("1 record waits for the database")
                                            : tr("%1 records wait for the database").arg(count));
    });
    connect(&recordsRelay_, &RecordsRelay::refusedCount, this, [this](qulonglong count) {
        if (metrics_ && !settings_.recordsUrl.empty())
            static_cast<void>(metrics_->setRefused(count));
    });
}

void WorkWindow::setWorkSettings(WorkSettings settings) {
    settings_ = std::move(settings);
    records_.reset(); // its sender stops before another starts on the log
    metrics_.reset();
    // The sender starts now, not at the first attempt: what an earlier run
    // left in the log goes at once.
    if (!settings_.recordsUrl.empty())
        static_cast<void>(records());
}

JobOutlets WorkWindow::outlets(std::size_t slotCount) {
    auto kept = records();
    // What the window's slots do now, for the plant's live view: kept while
    // the window keeps its slots, made anew for another number of them.
    if (kept->live() == nullptr || liveSlots_ != slotCount) {
        kept->reportLive(slotCount, {});
        liveSlots_ = slotCount;
    }
    return {runs::realLinks(answerTimeout_, settings_.tls), trace_, metrics(slotCount),
            std::move(kept)};
}

std::shared_ptr<records::RecordKeeping> WorkWindow::records() {
    if (!records_)
        records_ = std::make_shared<records::RecordKeeping>(
            records::RecordOptions{settings_.logPath, settings_.recordsUrl, settings_.station,
                                   settings_.operatorName},
            recordsRelay_);
    return records_;
}

std::shared_ptr<station::StationMetrics> WorkWindow::metrics(std::size_t slotCount) {
    if (settings_.metricsPath.empty())
        return nullptr;
    // A station of another size starts its counts afresh.
    if (!metrics_ || metrics_->slotCount() != slotCount)
        metrics_ = std::make_shared<station::StationMetrics>(
            settings_.metricsPath, runs::stationOrHost(settings_.station), slotCount);
    if (records_)
        static_cast<void>(metrics_->setUnsent(records_->unsent()));
    return metrics_;
}

} // namespace j4
