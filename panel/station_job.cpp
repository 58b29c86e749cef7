#include "station_job.h"

#include "station.h"

namespace j4 {

void StationJob::start(std::shared_ptr<const DecodedFile> decoded,
                       std::vector<runs::TargetName> slotNames, std::string file, QObject* context,
                       RunCallbacks callbacks, std::function<void()> ended) {
    job_.start(context,
               [decoded = std::move(decoded), slotNames = std::move(slotNames),
                file = std::move(file), callbacks = std::move(callbacks), ended = std::move(ended),
                timeout = answerTimeout_, trace = trace_, metrics = metrics_,
                records = records_](const std::atomic<bool>& stop, const WorkerJob::Post& post) {
                   RunRelay relayed(slotNames.size(), post, callbacks, {trace, true});
                   std::optional<runs::MetricsListener> metered;
                   runs::DeviceListener& relay = meteredRelay(metered, metrics, relayed);
                   const runs::LinkMaker links = realLinks(timeout);
                   runs::runStation(decoded, slotNames, file,
                                    {links, relay, stop, records ? &records->log() : nullptr});
                   return ended;
               });
}

} // namespace j4
