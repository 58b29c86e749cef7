#include "device_runs.h"

#include <QThread>

namespace j4::runs {

std::vector<UpdateReport> runOnDevices(std::shared_ptr<const DecodedFile> decoded,
                                       const std::vector<Target>& targets, const RunContext& run) {
    std::vector<UpdateReport> reports(targets.size());
    // QThreads, as the serial library expects of the threads that open its
    // ports; each writes only its own report.
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        threads.emplace_back(QThread::create([&, i] {
            UpdateRequest request = targets[i].request;
            request.decoded = decoded;
            reports[i] = runAttempt(i, request, run);
        }));
        threads.back()->start();
    }
    for (const auto& thread : threads)
        thread->wait();
    return reports;
}

} // namespace j4::runs
