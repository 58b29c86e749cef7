#pragma once
// Tells a window what its line sends after anything that may change it:
// a notice of the follower's (a new assignment, a hold) or a unit's end.

#include "line_follower.h"
#include "run_relay.h"

#include <atomic>

namespace j4 {

class LineShown final : public runs::PassingListener {
public:
    LineShown(runs::DeviceListener& next, WorkerJob::Post post, RunCallbacks::LineShown shown)
        : PassingListener(next), post_(std::move(post)), shown_(std::move(shown)) {}

    void follow(const line::LineFollower* follower) {
        follower_ = follower;
        show();
    }
    void notice(const std::string& text) override {
        next_.notice(text);
        show();
    }
    void show() {
        const line::LineFollower* follower = follower_;
        if (follower == nullptr || !shown_)
            return;
        post_([shown = shown_, sends = QString::fromStdString(follower->describe()),
               held = QString::fromStdString(follower->heldBecause())] { shown(sends, held); });
    }

private:
    WorkerJob::Post post_;
    RunCallbacks::LineShown shown_;
    std::atomic<const line::LineFollower*> follower_{nullptr};
};

} // namespace j4
