#include "station_job.h"

#include "link_factory.h"
#include "log_writer.h"
#include "station.h"

namespace j4 {

void StationJob::start(std::shared_ptr<const DecodedFile> decoded,
                       std::vector<runs::TargetName> slotNames, std::string file, QObject* context,
                       RunCallbacks callbacks, std::function<void()> ended) {
    job_.start(context,
               [decoded = std::move(decoded), slotNames = std::move(slotNames),
                file = std::move(file), callbacks = std::move(callbacks), ended = std::move(ended),
                timeout = answerTimeout_, trace = trace_,
                metrics = metrics_](const std::atomic<bool>& stop, const WorkerJob::Post& post) {
                   RunRelay relayed(slotNames.size(), post, callbacks, {trace, true});
                   std::optional<runs::MetricsListener> metered;
                   if (metrics)
                       metered.emplace(*metrics, relayed);
                   runs::DeviceListener& relay =
                       metered ? static_cast<runs::DeviceListener&>(*metered) : relayed;
                   runs::LogWriter log(runs::logFromEnvironment(), runs::stationFromEnvironment());
                   const runs::LinkMaker links = [timeout](const std::string& device) {
                       return makeLink(device, timeout);
                   };
                   runs::runStation(decoded, slotNames, file, {links, relay, stop, &log});
                   return ended;
               });
}

} // namespace j4
