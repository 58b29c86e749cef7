#include "worker_job.h"

#include <QThread>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace j4 {

struct WorkerJob::State {
    std::atomic<bool> stop{false};
    bool handedOver = true; // UI thread only: the last call has reached the context
    std::mutex mutex;
    std::condition_variable idle;
    bool working = false; // the work may hold a port

    void setWorking(bool value) {
        {
            std::lock_guard lock(mutex);
            working = value;
        }
        idle.notify_all();
    }
};

namespace {

std::mutex registryMutex;
std::vector<std::weak_ptr<WorkerJob::State>>& registry() {
    static std::vector<std::weak_ptr<WorkerJob::State>> workers;
    return workers;
}

void stopWorkersAtExit() {
    std::vector<std::shared_ptr<WorkerJob::State>> workers;
    {
        std::lock_guard lock(registryMutex);
        for (const auto& weak : registry())
            if (auto worker = weak.lock())
                workers.push_back(std::move(worker));
    }
    for (const auto& worker : workers)
        worker->stop = true;
    for (const auto& worker : workers) {
        std::unique_lock lock(worker->mutex);
        worker->idle.wait_for(lock, std::chrono::seconds(3), [&] { return !worker->working; });
    }
}

void stopAtExit(const std::shared_ptr<WorkerJob::State>& state) {
    static const bool registered = [] {
        // After the registry exists, so this runs before its clean-up.
        registry();
        return std::atexit(stopWorkersAtExit) == 0;
    }();
    (void)registered;
    std::lock_guard lock(registryMutex);
    std::erase_if(registry(), [](const auto& weak) { return weak.expired(); });
    registry().push_back(state);
}

} // namespace

WorkerJob::WorkerJob() : state_(std::make_shared<State>()) {
    stopAtExit(state_);
}

WorkerJob::~WorkerJob() {
    // Work still running keeps its own state and stops at its next check.
    state_->stop = true;
}

bool WorkerJob::running() const {
    return !state_->handedOver;
}

void WorkerJob::start(QObject* context, Work work) {
    if (running())
        return;
    state_->stop = false;
    state_->handedOver = false;
    state_->setWorking(true);
    auto* relay = new WorkerRelay; // deleted once the work's thread has finished
    QObject::connect(
        relay, &WorkerRelay::deliver, context, [](const std::function<void()>& call) { call(); },
        Qt::QueuedConnection);
    QThread* thread = QThread::create([state = state_, relay, work = std::move(work)] {
        const Post post = [relay](std::function<void()> call) { emit relay->deliver(call); };
        std::function<void()> last = work(state->stop, post);
        state->setWorking(false);
        // The hand-over marks the job idle before the context hears the end.
        post([state, last = std::move(last)] {
            state->handedOver = true;
            if (last)
                last();
        });
    });
    QObject::connect(thread, &QThread::finished, relay, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void WorkerJob::requestStop() {
    state_->stop = true;
}

} // namespace j4
