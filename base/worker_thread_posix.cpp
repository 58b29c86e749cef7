#include "worker_thread.h"

#include <condition_variable>
#include <mutex>

#include <pthread.h>

namespace j4 {

// Qt's threads are detached: QThread::wait returns when the work has ended,
// while the thread still runs Qt's clean-up of its data at its exit. A
// program that ended in that moment ran its own clean-up beside the
// thread's (a heap corrupted at exit, once in many runs). The thread tells
// it is gone from a key of its own, made after Qt's, whose clean-up runs
// after Qt's.
class ThreadGone {
public:
    void tell() {
        const std::lock_guard lock(mutex_);
        gone_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return gone_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool gone_ = false;
};

namespace {

void told(void* gone) {
    const std::unique_ptr<std::shared_ptr<ThreadGone>> owned(
        static_cast<std::shared_ptr<ThreadGone>*>(gone));
    (*owned)->tell();
}

pthread_key_t goneKey() {
    static const pthread_key_t key = [] {
        QThread::currentThread(); // Qt's own key first
        pthread_key_t made{};
        pthread_key_create(&made, told);
        return made;
    }();
    return key;
}

} // namespace

WorkerThread::WorkerThread(std::function<void()> work) : gone_(std::make_shared<ThreadGone>()) {
    const pthread_key_t key = goneKey();
    thread_.reset(QThread::create([work = std::move(work), gone = gone_, key] {
        pthread_setspecific(key, std::make_unique<std::shared_ptr<ThreadGone>>(gone).release());
        work();
    }));
    thread_->start();
}

void WorkerThread::wait() {
    if (!thread_)
        return;
    thread_->wait();
    if (thread_->isFinished()) // else it never started: nothing will tell
        gone_->wait();
}

} // namespace j4
