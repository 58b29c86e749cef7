#include "worker_thread.h"

namespace j4 {

// QThread::wait waits for the thread's handle: the thread is gone by then.
class ThreadGone {};

WorkerThread::WorkerThread(std::function<void()> work) : thread_(QThread::create(std::move(work))) {
    thread_->start();
}

void WorkerThread::wait() {
    if (thread_)
        thread_->wait();
}

} // namespace j4
