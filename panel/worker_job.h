#pragma once
// Runs work off the UI thread, as KeePassXC's AsyncTask does: the work owns
// what it works on and never touches a window. What it has to tell is posted
// through a relay of its own whose queued connection is bound to a QObject
// context: once that context is gone, Qt drops what is still to come. The UI
// thread never waits on the work, nor the work on the UI; a stop request is
// a flag the work polls. Work still running when the process ends without
// returning from main (the window system went away) is asked to stop and
// given a moment to close its ports, so no lock is left behind.

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

namespace j4 {

class WorkerJob final {
public:
    // Runs a call on the context's thread, if the context still exists.
    using Post = std::function<void(std::function<void()>)>;
    // The work, on a thread of its own; it returns what the context is told
    // last, once the job is idle again (empty: nothing).
    using Work = std::function<std::function<void()>(const std::atomic<bool>& stop, const Post&)>;

    WorkerJob();
    ~WorkerJob();
    WorkerJob(const WorkerJob&) = delete;
    WorkerJob& operator=(const WorkerJob&) = delete;

    // From start() until the last call has reached the context.
    bool running() const;
    // Ignored while running.
    void start(QObject* context, Work work);
    void requestStop();

    struct State;

private:
    std::shared_ptr<State> state_;
};

// The work's voice: it emits on the work's thread, the context's thread
// runs the call. Lives until the work's thread has finished.
class WorkerRelay final : public QObject {
    Q_OBJECT

signals:
    void deliver(const std::function<void()>& call);
};

} // namespace j4
