#include "device_runs.h"

#include "worker_thread.h"

namespace j4::runs {

std::vector<AttemptReport> runOnDevices(std::shared_ptr<const DecodedFile> decoded,
                                        const std::vector<Target>& targets, const RunContext& run) {
    std::vector<AttemptReport> reports(targets.size());
    // Each writes only its own report.
    std::vector<WorkerThread> threads;
    for (std::size_t i = 0; i < targets.size(); ++i)
        threads.emplace_back([&, i] {
            UpdateRequest request = targets[i].request;
            request.decoded = decoded;
            reports[i] = runAttempt(i, request, run);
        });
    threads.clear(); // each waited for
    return reports;
}

} // namespace j4::runs
