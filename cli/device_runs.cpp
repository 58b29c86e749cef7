#include "device_runs.h"

#include <QThread>

namespace j4::cli {
namespace {

UpdateReport runOne(std::size_t index, const Target& target,
                    std::shared_ptr<const DecodedFile> decoded, const LinkMaker& makeLink,
                    DeviceListener& listener, const std::atomic<bool>& stop) {
    UpdateRequest request = target.request;
    request.decoded = std::move(decoded);
    const auto link = makeLink(request.device);
    UpdateSession session(*link, &stop);
    std::chrono::steady_clock::time_point sentAt;
    UpdateListener events;
    events.stage = [&](UpdateStage stage, const TransferState& state) {
        if (stage == UpdateStage::Transferring)
            listener.started(index, state.totalBytes);
    };
    events.transfer = [&](TransferEvent event, const TransferState& state) {
        if (event == TransferEvent::Sending) {
            sentAt = std::chrono::steady_clock::now();
            listener.sending(index, state);
        } else {
            listener.answered(index, state, std::chrono::steady_clock::now() - sentAt);
        }
    };
    UpdateReport report = session.run(request, events);
    listener.finished(index, report);
    return report;
}

} // namespace

std::vector<UpdateReport> runOnDevices(std::shared_ptr<const DecodedFile> decoded,
                                       const std::vector<Target>& targets,
                                       const LinkMaker& makeLink, DeviceListener& listener,
                                       const std::atomic<bool>& stop) {
    std::vector<UpdateReport> reports(targets.size());
    // QThreads, as the serial library expects of the threads that open its
    // ports; each writes only its own report.
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        threads.emplace_back(QThread::create(
            [&, i] { reports[i] = runOne(i, targets[i], decoded, makeLink, listener, stop); }));
        threads.back()->start();
    }
    for (const auto& thread : threads)
        thread->wait();
    return reports;
}

} // namespace j4::cli
