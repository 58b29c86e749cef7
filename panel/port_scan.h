#pragma once
// The system's ports, listed off the UI thread: a listing reads udev, sysfs
// and the ports files, which takes tens of milliseconds on a quiet machine
// and far longer on a busy one, and the window must neither wait for it to
// appear nor freeze while adapters come and go.

#include "port_names.h"
#include "worker_job.h"

#include <functional>
#include <vector>

class QObject;

namespace j4 {

class PortScan final {
public:
    using Listed = std::function<void(std::vector<PortDescription> ports)>;

    // `listed` runs on `context`'s thread with each listing, and not at all
    // once `context` is gone.
    PortScan(QObject* context, Listed listed);

    // A listing now; asked for while one runs, another follows it, so the
    // last one always sees what is plugged in after the asking.
    void request();

private:
    QObject* context_;
    Listed listed_;
    WorkerJob job_;
    bool again_ = false;
};

} // namespace j4
