#include "station_job.h"

#include "line_shown.h"
#include "result_hook.h"
#include "station.h"

namespace j4 {

void StationJob::start(std::shared_ptr<const DecodedFile> decoded,
                       std::vector<runs::TargetName> slotNames, std::string file, StationLine line,
                       JobOutlets outlets, QObject* context, RunCallbacks callbacks,
                       std::function<void()> ended) {
    awaiting_ = noneAwaiting(slotNames.size());
    job_.start(context, [decoded = std::move(decoded), slotNames = std::move(slotNames),
                         file = std::move(file), line = std::move(line),
                         outlets = std::move(outlets), callbacks = std::move(callbacks),
                         ended = std::move(ended), awaiting = awaiting_](
                            const std::atomic<bool>& stop, const WorkerJob::Post& post) {
        RunRelay relayed(slotNames.size(), post, callbacks, {outlets.trace, true}, awaiting);
        LineShown shown(relayed, post, callbacks.lineShown);
        station::MeteredListener metered(outlets.metrics.get(), shown);
        records::LiveReporter* reporter = outlets.records ? outlets.records->live() : nullptr;
        records::LiveListener live(metered.listener(), reporter);
        runs::DeviceListener& relay = live;
        std::unique_ptr<line::LineFollower> follower;
        std::optional<line::UnitsTold> units;
        auto sent = decoded;
        std::string sentFile = file;
        if (line.follow) {
            auto started = line::LineFollower::start(*line.follow, relay, stop);
            if (!started) {
                relay.notice(started.error());
                return ended;
            }
            follower = std::move(*started);
            const line::Following now = follower->following();
            sent = now.decoded;
            sentFile = now.filePath;
            shown.follow(follower.get());
            if (reporter != nullptr)
                reporter->setLine(line.follow->line);
            units.emplace(*follower, [&shown] { shown.show(); });
        }
        const auto& metrics = outlets.metrics;
        const auto& records = outlets.records;
        // Ended with the station: the last attempt's command is waited for.
        std::optional<station::ResultHook> hook;
        if (!line.onResult.empty())
            hook.emplace(line.onResult);
        if (metrics)
            static_cast<void>(metrics->sending(*sent));
        station::runStation(sent, slotNames, sentFile,
                            {outlets.links, relay, stop, records ? &records->log() : nullptr},
                            {line.settle, line.units.get(), line.requireUnit,
                             hook ? &*hook : nullptr, units ? &*units : nullptr});
        hook.reset();
        shown.follow(nullptr);
        units.reset();
        follower.reset(); // its claims settled or given back
        if (metrics)
            static_cast<void>(metrics->stopped());
        return ended;
    });
}

} // namespace j4
