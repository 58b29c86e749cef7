#pragma once
// Runs a station off the UI thread: every slot on a thread of its own (the
// command line's station engine), each event passed to the window through a
// relay whose queued connections are bound to the window, as UpdateJob does.
// The UI thread never waits on the station; a stop is a flag.

#include "log_writer.h"
#include "station.h"
#include "worker_state.h"

#include <QObject>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace j4 {

class StationRelay final : public QObject {
    Q_OBJECT

signals:
    void started(int slot);
    void progress(int slot, int percent);
    void finished(int slot, const j4::UpdateReport& report, const QString& logWarning);
    void notice(const QString& text);
    void ended();
};

class StationJob final {
public:
    // Each is called on the context's thread, and only while it exists.
    struct Callbacks {
        std::function<void(int slot)> started;
        std::function<void(int slot, int percent)> progress;
        std::function<void(int slot, const UpdateReport&, const QString& logWarning)> finished;
        std::function<void(const QString& text)> notice;
        std::function<void()> ended;
    };

    explicit StationJob(std::chrono::milliseconds answerTimeout);
    ~StationJob();
    StationJob(const StationJob&) = delete;
    StationJob& operator=(const StationJob&) = delete;

    // From start() until ended has been handed over.
    bool running() const;
    // Watches `slotNames` until requestStop(); ignored while running.
    void start(std::shared_ptr<const DecodedFile> decoded, std::vector<cli::TargetName> slotNames,
               std::string file, QObject* context, Callbacks callbacks);
    // Every slot stops: a transfer at its next frame boundary, its port closed.
    void requestStop();
    void traceTo(std::FILE* stream) { trace_ = stream; }

    struct State;

private:
    std::chrono::milliseconds answerTimeout_;
    std::shared_ptr<State> state_;
    std::FILE* trace_ = nullptr;
};

} // namespace j4
