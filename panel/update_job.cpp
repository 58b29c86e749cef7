#include "update_job.h"

#include "j4_version.h"
#include "link_factory.h"
#include "update_log.h"

#include <QSysInfo>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace j4 {
namespace {

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

struct UpdateJob::Shared {
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> awaitingSinceMs{0};
    std::atomic<bool> logFailed{false};
    UpdateReport report; // written by the job's thread before it finishes
    std::mutex mutex;
    std::condition_variable idle;
    bool running = false;

    void setRunning(bool value) {
        {
            std::lock_guard lock(mutex);
            running = value;
        }
        idle.notify_all();
    }
};

namespace {

// Jobs still running when the process ends without returning from main (the
// window system went away and Qt called exit()): each is asked to stop and
// given a moment to close its port, so no lock is left behind.
std::mutex registryMutex;
std::vector<std::weak_ptr<UpdateJob::Shared>>& registry() {
    static std::vector<std::weak_ptr<UpdateJob::Shared>> jobs;
    return jobs;
}

void stopJobsAtExit() {
    std::vector<std::shared_ptr<UpdateJob::Shared>> jobs;
    {
        std::lock_guard lock(registryMutex);
        for (const auto& weak : registry())
            if (auto job = weak.lock())
                jobs.push_back(std::move(job));
    }
    for (const auto& job : jobs) {
        job->stop = true;
        std::unique_lock lock(job->mutex);
        job->idle.wait_for(lock, std::chrono::seconds(3), [&] { return !job->running; });
    }
}

void registerJob(const std::shared_ptr<UpdateJob::Shared>& job) {
    static const bool registered = [] {
        // After the registry exists, so this runs before its clean-up.
        registry();
        return std::atexit(stopJobsAtExit) == 0;
    }();
    (void)registered;
    std::lock_guard lock(registryMutex);
    std::erase_if(registry(), [](const auto& weak) { return weak.expired(); });
    registry().push_back(job);
}

} // namespace

UpdateJob::UpdateJob(std::chrono::milliseconds answerTimeout, QObject* parent)
    : QObject(parent), answerTimeout_(answerTimeout), shared_(std::make_shared<Shared>()) {
    registerJob(shared_);
}

UpdateJob::~UpdateJob() {
    // Only reached when no job runs (the window refuses to close during one);
    // a job that still runs is told to stop and keeps its own shared state.
    shared_->stop = true;
}

bool UpdateJob::running() const {
    return !thread_.isNull();
}

void UpdateJob::start(UpdateRequest request) {
    if (running())
        return;
    shared_->stop = false;
    shared_->awaitingSinceMs = 0;
    shared_->setRunning(true);
    auto shared = shared_;
    thread_ = QThread::create([this, shared, request = std::move(request), timeout = answerTimeout_,
                               trace = trace_] {
        const auto link = makeLink(request.device, timeout);
        UpdateSession session(*link, &shared->stop);
        UpdateListener listener;
        listener.stage = [this](UpdateStage stage, const TransferState&) {
            if (stage == UpdateStage::OpeningPort)
                emit openingPort();
            else
                emit transferring();
        };
        int lastPercent = -1;
        std::chrono::steady_clock::time_point sentAt;
        listener.transfer = [&](TransferEvent event, const TransferState& state) {
            if (event == TransferEvent::Answered) {
                shared->awaitingSinceMs = 0;
                if (trace != nullptr)
                    std::fprintf(
                        trace, "%s\n",
                        traceLine(state, std::chrono::steady_clock::now() - sentAt).c_str());
                return;
            }
            sentAt = std::chrono::steady_clock::now();
            shared->awaitingSinceMs = steadyMs();
            // Reported before every frame; only changes are worth a repaint.
            if (const int percent = state.percent(); percent != lastPercent) {
                lastPercent = percent;
                emit progressChanged(percent);
            }
        };
        UpdateReport report = session.run(request, listener);
        shared->awaitingSinceMs = 0;
        // Persisted only when asked for; a log that cannot be written is
        // said once and never fails the update.
        // The name as bytes: the system's, not necessarily UTF-8.
        if (const std::string logPath = qgetenv("J4_UPDATE_LOG").toStdString(); !logPath.empty()) {
            const std::string error = UpdateLog(logPath).append(
                report, {kVersion, QSysInfo::machineHostName().toStdString()});
            if (!error.empty() && !shared->logFailed.exchange(true))
                report.detail +=
                    " The update log " + logPath + " cannot be written (" + error + ").";
        }
        shared->report = std::move(report);
        shared->setRunning(false);
    });
    // The report is handed over on the UI thread, once the job's thread is done.
    connect(thread_, &QThread::finished, this, [this] {
        thread_->deleteLater();
        thread_.clear();
        emit finished(shared_->report);
    });
    thread_->start();
}

void UpdateJob::requestStop() {
    shared_->stop = true;
}

std::chrono::milliseconds UpdateJob::awaitingAnswerFor() const {
    const std::int64_t since = shared_->awaitingSinceMs;
    return std::chrono::milliseconds{since == 0 ? 0
                                                : std::max<std::int64_t>(0, steadyMs() - since)};
}

} // namespace j4
