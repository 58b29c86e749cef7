#pragma once
// The line the updater window follows while it is open: the plant's
// assignment fetched and checked off the UI thread, said to the window as
// it changes, and lent to each attempt, which claims its unit from it and
// settles the claim at its end.

#include "line_follower.h"
#include "run_relay.h"
#include "worker_job.h"

#include <memory>
#include <mutex>
#include <string>

namespace j4 {

// The follower as attempts borrow it, on their own threads.
class FollowedLine final {
public:
    // The follower for one attempt, or why the line cannot be followed.
    Result<std::shared_ptr<line::LineFollower>> borrow() const;
    void lend(std::shared_ptr<line::LineFollower> follower);
    void refuse(std::string why);
    // Once no attempt holds the follower: lent no more, and ended here (its
    // claims settled or given back) rather than on an attempt's thread after
    // its listener is gone.
    void end();

private:
    mutable std::mutex mutex_;
    std::shared_ptr<line::LineFollower> follower_;
    std::string why_ = "its assignment is still being fetched from the plant's database";
};

class LineWatch final {
public:
    // What the window hears: the line's "release V, work order WO, N of Q
    // units" and its hold, and what the follower has to say.
    struct Told {
        RunCallbacks::LineShown shown;
        std::function<void(const QString& text)> notice;
    };
    // Follows the line until the watch is gone.
    void start(line::FollowSettings settings, QObject* context, Told told);
    std::shared_ptr<FollowedLine> line() const { return line_; }

private:
    std::shared_ptr<FollowedLine> line_ = std::make_shared<FollowedLine>();
    WorkerJob job_;
};

} // namespace j4
