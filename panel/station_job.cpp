#include "station_job.h"

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
        station::MeteredListener metered(outlets.metrics.get(), relayed);
        runs::DeviceListener& relay = metered.listener();
        const auto& metrics = outlets.metrics;
        const auto& records = outlets.records;
        // Ended with the station: the last attempt's command is waited for.
        std::optional<station::ResultHook> hook;
        if (!line.onResult.empty())
            hook.emplace(line.onResult);
        if (metrics)
            static_cast<void>(metrics->sending(*decoded));
        station::runStation(
            decoded, slotNames, file,
            {outlets.links, relay, stop, records ? &records->log() : nullptr},
            {line.settle, line.units.get(), line.requireUnit, hook ? &*hook : nullptr});
        hook.reset();
        if (metrics)
            static_cast<void>(metrics->stopped());
        return ended;
    });
}

} // namespace j4
