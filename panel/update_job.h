#pragma once
// Runs one update session off the UI thread and reports through queued
// signals. The UI thread never waits on the job and the job never waits on
// the UI: progress, stages and the report are posted, and a stop request is
// a flag the session polls at frame boundaries.

#include "update_session.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <chrono>
#include <cstdio>
#include <memory>

namespace j4 {

class UpdateJob final : public QObject {
    Q_OBJECT

public:
    explicit UpdateJob(std::chrono::milliseconds answerTimeout, QObject* parent = nullptr);
    ~UpdateJob() override;

    bool running() const;
    // Starts one attempt on a pool thread; ignored while one runs.
    void start(UpdateRequest request);
    // The session stops at its next safe point and closes the port.
    void requestStop();
    // With a stream: a line per transmission there (j4_updater --verbose).
    void traceTo(std::FILE* stream) { trace_ = stream; }
    // How long the answer to the frame last sent has been awaited (zero when
    // no answer is awaited).
    std::chrono::milliseconds awaitingAnswerFor() const;

    // The state a job shares with its pool thread.
    struct Shared;

signals:
    void openingPort();
    void transferring();
    void progressChanged(int percent);
    void finished(const j4::UpdateReport& report);

private:
    std::chrono::milliseconds answerTimeout_;
    std::FILE* trace_ = nullptr;
    std::shared_ptr<Shared> shared_;
    QPointer<QThread> thread_;
};

} // namespace j4
