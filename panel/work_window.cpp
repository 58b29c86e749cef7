#include "work_window.h"

#include "log_writer.h"

namespace j4 {

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

std::shared_ptr<runs::StationMetrics> WorkWindow::metrics(std::size_t slotCount) {
    if (metricsPath_.empty())
        return nullptr;
    // A station of another size starts its counts afresh.
    if (!metrics_ || metrics_->slotCount() != slotCount)
        metrics_ = std::make_shared<runs::StationMetrics>(
            metricsPath_, runs::stationOrHost(runs::stationFromEnvironment()), slotCount);
    return metrics_;
}

} // namespace j4
