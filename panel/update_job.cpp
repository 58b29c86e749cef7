#include "update_job.h"

#include "line_shown.h"

#include <algorithm>

namespace j4 {
namespace {

// The window's one attempt on a file: the trusted keys as they are now, so
// that a file signed by a key removed since it was chosen is not sent.
runs::AttemptReport fileAttempt(const UpdateRequest& request, const runs::RunContext& run) {
    const auto policy = release::ReleasePolicy::load({});
    if (!policy) {
        runs::AttemptReport report = runs::refusedAttempt(
            request, PreparedFile::refused(UpdateOutcome::FileRefused, policy.error()));
        runs::endAttempt(0, report, run);
        return report;
    }
    runs::RunContext checked = run;
    checked.release = &*policy;
    return runs::runAttempt(0, request, checked);
}

// The window's one attempt on a line: its unit claimed before the first
// frame and the claim settled at its end, as a station's are. A unit the
// line does not make (its work order complete, the line held) is neither
// sent nor recorded.
runs::AttemptReport lineAttempt(UpdateRequest request, const FollowedLine& line,
                                const runs::RunContext& run, LineShown& shown) {
    runs::AttemptReport report;
    report.outcome = UpdateOutcome::NotStarted;
    const auto follower = line.borrow();
    if (!follower) {
        report.text = "The line cannot be followed: " + follower.error() + ".";
        return report;
    }
    shown.follow(follower->get());
    const station::UnitPlan plan = (*follower)->next(0);
    if (plan.decoded) {
        request.decoded = plan.decoded;
        request.filePath = plan.filePath;
        const station::LastFrameConfirmation confirmation(request, plan, {});
        report = runs::tryUpdate(0, request, run);
        confirmation.explain(report);
        report.attempt = plan.attempt;
        report.production = plan.production;
        runs::endAttempt(0, report, run);
        (*follower)->ended(0, report);
        shown.show(); // N of Q, with this unit
    } else {
        report.text = plan.refusal;
    }
    shown.follow(nullptr); // the follower is given back
    return report;
}

} // namespace

void UpdateJob::start(UpdateRequest request, JobOutlets outlets, QObject* context,
                      RunCallbacks callbacks) {
    if (running())
        return;
    (*awaiting_)[0] = 0;
    // The report is the job's last word, told once the job is idle.
    auto finished = std::exchange(callbacks.finished, nullptr);
    job_.start(context, [request = std::move(request), outlets = std::move(outlets),
                         callbacks = std::move(callbacks), finished = std::move(finished),
                         awaiting = awaiting_,
                         line = line_](const std::atomic<bool>& stop, const WorkerJob::Post& post) {
        RunRelay relayed(1, post, callbacks, {outlets.trace, false}, awaiting);
        LineShown shown(relayed, post, callbacks.lineShown);
        station::MeteredListener metered(outlets.metrics.get(), shown);
        records::LiveListener live(metered.listener(),
                                   outlets.records ? outlets.records->live() : nullptr);
        runs::LogWriter* log = outlets.records ? &outlets.records->log() : nullptr;
        const runs::RunContext run{outlets.links, live, stop, log};
        runs::AttemptReport report =
            line ? lineAttempt(request, *line, run, shown) : fileAttempt(request, run);
        return std::function<void()>([finished, report] { finished(0, report); });
    });
}

std::chrono::milliseconds UpdateJob::awaitingAnswerFor() const {
    return awaitedFor(awaiting_, 0);
}

} // namespace j4
