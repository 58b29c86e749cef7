#include "station_job.h"

#include "link_factory.h"

#include <QThread>

namespace j4 {

struct StationJob::State : WorkerState {
    bool handedOver = true; // UI thread only: the end has reached the window
};

namespace {

// Hears every slot's attempts on that slot's thread and passes them on.
class Listener final : public cli::DeviceListener {
public:
    Listener(std::size_t slotCount, StationRelay& relay, std::FILE* trace)
        : lastPercent_(slotCount, -1), relay_(relay), trace_(trace),
          log_(cli::logFromEnvironment()) {}

    void started(std::size_t slot, std::size_t) override {
        lastPercent_[slot] = -1; // each element belongs to its slot's thread
        emit relay_.started(static_cast<int>(slot));
    }
    void sending(std::size_t slot, const TransferState& transfer) override {
        // Reported before every frame; only changes are worth a repaint.
        if (const int percent = transfer.percent(); percent != lastPercent_[slot]) {
            lastPercent_[slot] = percent;
            emit relay_.progress(static_cast<int>(slot), percent);
        }
    }
    void answered(std::size_t slot, const TransferState& transfer,
                  std::chrono::steady_clock::duration sinceSent) override {
        if (trace_ != nullptr)
            std::fprintf(trace_, "slot %zu  %s\n", slot + 1,
                         traceLine(transfer, sinceSent).c_str());
    }
    void finished(std::size_t slot, const UpdateReport& report) override {
        // A log that cannot be written is said once and fails nothing.
        const std::string warning = log_.append(report);
        emit relay_.finished(static_cast<int>(slot), report, QString::fromStdString(warning));
    }
    void notice(const std::string& text) override {
        emit relay_.notice(QString::fromStdString(text));
    }

private:
    std::vector<int> lastPercent_;
    StationRelay& relay_;
    std::FILE* trace_;
    cli::LogWriter log_;
};

void connectTo(StationRelay* relay, QObject* context, StationJob::Callbacks callbacks) {
    QObject::connect(relay, &StationRelay::started, context, callbacks.started,
                     Qt::QueuedConnection);
    QObject::connect(relay, &StationRelay::progress, context, callbacks.progress,
                     Qt::QueuedConnection);
    QObject::connect(relay, &StationRelay::finished, context, callbacks.finished,
                     Qt::QueuedConnection);
    QObject::connect(relay, &StationRelay::notice, context, callbacks.notice, Qt::QueuedConnection);
    QObject::connect(relay, &StationRelay::ended, context, callbacks.ended, Qt::QueuedConnection);
}

} // namespace

StationJob::StationJob(std::chrono::milliseconds answerTimeout)
    : answerTimeout_(answerTimeout), state_(std::make_shared<State>()) {
    stopAtExit(state_);
}

StationJob::~StationJob() {
    // Slots still running keep their own state and stop at their next frame.
    state_->stop = true;
}

bool StationJob::running() const {
    return !state_->handedOver;
}

void StationJob::start(std::shared_ptr<const DecodedFile> decoded,
                       std::vector<cli::TargetName> slotNames, std::string file, QObject* context,
                       Callbacks callbacks) {
    if (running())
        return;
    state_->stop = false;
    state_->handedOver = false;
    state_->setWorking(true);
    callbacks.ended = [state = state_, ended = std::move(callbacks.ended)] {
        state->handedOver = true;
        ended();
    };
    auto* relay = new StationRelay; // deleted once the station's thread has finished
    connectTo(relay, context, std::move(callbacks));
    QThread* thread = QThread::create([state = state_, decoded = std::move(decoded),
                                       slotNames = std::move(slotNames), file = std::move(file),
                                       timeout = answerTimeout_, relay, trace = trace_] {
        Listener listener(slotNames.size(), *relay, trace);
        const cli::LinkMaker links = [timeout](const std::string& device) {
            return makeLink(device, timeout);
        };
        cli::runStation(decoded, slotNames, file, links, listener, state->stop);
        state->setWorking(false);
        emit relay->ended();
    });
    QObject::connect(thread, &QThread::finished, relay, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void StationJob::requestStop() {
    state_->stop = true;
}

} // namespace j4
