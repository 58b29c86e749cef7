#include "line_watch.h"

#include "line_shown.h"

#include <QThread>

namespace j4 {
namespace {

constexpr unsigned long kPollMs = 50;

} // namespace

Result<std::shared_ptr<line::LineFollower>> FollowedLine::borrow() const {
    const std::lock_guard lock(mutex_);
    if (!follower_)
        return fail(why_);
    return follower_;
}

void FollowedLine::lend(std::shared_ptr<line::LineFollower> follower) {
    const std::lock_guard lock(mutex_);
    follower_ = std::move(follower);
}

void FollowedLine::refuse(std::string why) {
    const std::lock_guard lock(mutex_);
    why_ = std::move(why);
}

void FollowedLine::end() {
    for (;;) {
        std::unique_lock lock(mutex_);
        // Borrowed only under the lock: alone now, it stays alone.
        if (follower_.use_count() <= 1) {
            auto ending = std::move(follower_);
            why_ = "the window no longer follows it";
            lock.unlock();
            return; // `ending` goes here
        }
        lock.unlock();
        // An attempt still holds it; asked to stop with the window, it
        // lets go at its next frame.
        QThread::msleep(kPollMs);
    }
}

void LineWatch::start(line::FollowSettings settings, QObject* context, Told told) {
    job_.start(context, [settings = std::move(settings), told = std::move(told),
                         line = line_](const std::atomic<bool>& stop, const WorkerJob::Post& post) {
        RunCallbacks callbacks;
        callbacks.notice = told.notice;
        RunRelay relayed(1, post, callbacks, {});
        LineShown shown(relayed, post, told.shown);
        auto started = line::LineFollower::start(settings, shown, stop);
        if (!started) {
            line->refuse(started.error());
            relayed.notice(started.error());
            return std::function<void()>();
        }
        std::shared_ptr<line::LineFollower> follower = std::move(*started);
        shown.follow(follower.get());
        line->lend(follower);
        follower.reset();
        while (!stop)
            QThread::msleep(kPollMs);
        shown.follow(nullptr);
        line->end();
        return std::function<void()>();
    });
}

} // namespace j4
