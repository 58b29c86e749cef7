#pragma once
// Runs one update attempt off the UI thread, as KeePassXC's AsyncTask does:
// the worker owns what it works on and never touches the window. It reports
// through a relay of its own, whose queued connections are bound to a QObject
// context: once that context is gone, Qt drops what is still to come. The UI
// thread never waits on the worker, nor the worker on the UI; a stop request
// is a flag the session polls.

#include "log_writer.h"
#include "update_session.h"
#include "worker_state.h"

#include <QObject>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

namespace j4 {

// The worker's voice: it emits, the context's thread receives. Lives until
// the worker's thread has finished.
class JobRelay final : public QObject {
    Q_OBJECT

signals:
    void openingPort();
    void transferring();
    void progress(int percent);
    void finished(const j4::UpdateReport& report);
};

class UpdateJob final {
public:
    // Each is called on the context's thread, and only while it exists.
    struct Callbacks {
        std::function<void()> openingPort;
        std::function<void()> transferring;
        std::function<void(int percent)> progress;
        std::function<void(const UpdateReport&)> finished;
    };

    explicit UpdateJob(std::chrono::milliseconds answerTimeout);
    ~UpdateJob();
    UpdateJob(const UpdateJob&) = delete;
    UpdateJob& operator=(const UpdateJob&) = delete;

    // From start() until the report has been handed over.
    bool running() const;
    // Starts one attempt on a thread of its own; ignored while one runs.
    void start(UpdateRequest request, QObject* context, Callbacks callbacks);
    // The session stops at its next safe point and closes the port.
    void requestStop();
    // How long the answer to the frame last sent has been awaited (zero when
    // no answer is awaited).
    std::chrono::milliseconds awaitingAnswerFor() const;
    // With a stream: a line per transmission there (j4_updater --verbose).
    void traceTo(std::FILE* stream) { trace_ = stream; }

    // What an attempt shares with its worker thread.
    struct State;

private:
    std::chrono::milliseconds answerTimeout_;
    std::shared_ptr<State> state_;
    std::shared_ptr<cli::LogWriter> log_;
    std::FILE* trace_ = nullptr;
};

} // namespace j4
