#include "update_job.h"

#include "link_factory.h"

#include <QThread>

#include <algorithm>

namespace j4 {
namespace {

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

struct UpdateJob::State : WorkerState {
    std::atomic<std::int64_t> awaitingSinceMs{0};
    bool handedOver = true; // UI thread only: the report has reached the window
};

namespace {

// The attempt itself, on the worker thread: it touches only what it owns.
UpdateReport work(const UpdateRequest& request, std::chrono::milliseconds timeout,
                  UpdateJob::State& state, JobRelay& relay, std::FILE* trace) {
    const auto link = makeLink(request.device, timeout);
    UpdateSession session(*link, &state.stop);
    UpdateListener listener;
    listener.stage = [&](UpdateStage stage, const TransferState&) {
        if (stage == UpdateStage::OpeningPort)
            emit relay.openingPort();
        else
            emit relay.transferring();
    };
    int lastPercent = -1;
    std::chrono::steady_clock::time_point sentAt;
    listener.transfer = [&](TransferEvent event, const TransferState& transfer) {
        if (event == TransferEvent::Answered) {
            state.awaitingSinceMs = 0;
            if (trace != nullptr)
                std::fprintf(
                    trace, "%s\n",
                    traceLine(transfer, std::chrono::steady_clock::now() - sentAt).c_str());
            return;
        }
        sentAt = std::chrono::steady_clock::now();
        state.awaitingSinceMs = steadyMs();
        // Reported before every frame; only changes are worth a repaint.
        if (const int percent = transfer.percent(); percent != lastPercent) {
            lastPercent = percent;
            emit relay.progress(percent);
        }
    };
    UpdateReport report = session.run(request, listener);
    state.awaitingSinceMs = 0;
    return report;
}

// Binds the relay's reports to `context`: queued, and gone with it.
void connectTo(JobRelay* relay, QObject* context, UpdateJob::Callbacks callbacks) {
    QObject::connect(relay, &JobRelay::openingPort, context, callbacks.openingPort,
                     Qt::QueuedConnection);
    QObject::connect(relay, &JobRelay::transferring, context, callbacks.transferring,
                     Qt::QueuedConnection);
    QObject::connect(relay, &JobRelay::progress, context, callbacks.progress, Qt::QueuedConnection);
    QObject::connect(relay, &JobRelay::finished, context, callbacks.finished, Qt::QueuedConnection);
}

} // namespace

UpdateJob::UpdateJob(std::chrono::milliseconds answerTimeout)
    : answerTimeout_(answerTimeout), state_(std::make_shared<State>()) {
    stopAtExit(state_);
}

UpdateJob::~UpdateJob() {
    // A worker still running keeps its own state and stops at its next frame.
    state_->stop = true;
}

bool UpdateJob::running() const {
    return !state_->handedOver;
}

void UpdateJob::start(UpdateRequest request, QObject* context, Callbacks callbacks) {
    if (running())
        return;
    state_->stop = false;
    state_->awaitingSinceMs = 0;
    state_->handedOver = false;
    state_->setWorking(true);
    // The log is the one named now; a log that fails is said once for as long
    // as it stays the one named.
    if (const std::string path = cli::logFromEnvironment(); !log_ || log_->path() != path)
        log_ = std::make_shared<cli::LogWriter>(path);
    // The hand-over marks the job idle before the window hears of the end.
    callbacks.finished = [state = state_,
                          finished = std::move(callbacks.finished)](const UpdateReport& report) {
        state->handedOver = true;
        finished(report);
    };
    auto* relay = new JobRelay; // deleted once the worker's thread has finished
    connectTo(relay, context, std::move(callbacks));
    QThread* thread = QThread::create([state = state_, log = log_, request = std::move(request),
                                       timeout = answerTimeout_, relay, trace = trace_] {
        UpdateReport report = work(request, timeout, *state, *relay, trace);
        // A log that cannot be written is said once and fails nothing.
        if (const std::string warning = log->append(report); !warning.empty())
            report.detail += " " + warning;
        state->setWorking(false);
        emit relay->finished(report);
    });
    QObject::connect(thread, &QThread::finished, relay, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void UpdateJob::requestStop() {
    state_->stop = true;
}

std::chrono::milliseconds UpdateJob::awaitingAnswerFor() const {
    const std::int64_t since = state_->awaitingSinceMs;
    return std::chrono::milliseconds{since == 0 ? 0
                                                : std::max<std::int64_t>(0, steadyMs() - since)};
}

} // namespace j4
