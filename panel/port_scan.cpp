#include "port_scan.h"

#include <utility>

namespace j4 {

PortScan::PortScan(QObject* context, Listed listed)
    : context_(context), listed_(std::move(listed)) {}

void PortScan::request() {
    if (job_.running()) {
        again_ = true;
        return;
    }
    job_.start(context_, [this](const std::atomic<bool>&, const WorkerJob::Post&) {
        // Runs on the context's thread, which owns this scan.
        return std::function<void()>([this, ports = listPorts()]() mutable {
            listed_(std::move(ports));
            if (std::exchange(again_, false))
                request();
        });
    });
}

} // namespace j4
