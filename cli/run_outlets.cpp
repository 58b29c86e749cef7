#include "run_outlets.h"

namespace j4::cli {

using namespace runs;
using namespace release;
using namespace records;
using namespace station;
using namespace options;

Metered::Metered(const FlashOptions& options, std::size_t slotCount, DeviceListener& listener)
    : listener_(listener),
      counts_(options.station.metricsPath.empty()
                  ? nullptr
                  : std::make_unique<StationMetrics>(options.station.metricsPath,
                                                     stationOrHost(options.station.stationId),
                                                     slotCount)),
      metered_(counts_.get(), listener) {
    if (counts_)
        if (const auto problem = counts_->write())
            listener.notice(*problem);
}

void Metered::sending(const DecodedFile& file) {
    if (counts_)
        if (const auto problem = counts_->sending(file))
            listener_.notice(*problem);
}

void Metered::ended() {
    if (counts_)
        if (const auto problem = counts_->stopped())
            listener_.notice(*problem);
}

// The links of a run: the test's own, or the real ones.
LinkMaker linksFor(const FlashContext& context, const FlashOptions& options) {
    if (!context.makeLink)
        return realLinks(options.station.timeout, options.station.tls);
    return [&context, timeout = options.station.timeout](const std::string& device) {
        return context.makeLink(device, timeout);
    };
}

RecordOptions recordOptions(const FlashOptions& options) {
    return {options.station.logPath, options.station.recordsUrl, options.station.stationId,
            options.station.operatorName};
}

void finishRecords(RecordKeeping& records, const Output& output) {
    if (const auto lost = records.log().flush())
        output.error(*lost);
    if (const auto left = records.finish(std::chrono::seconds(5)))
        output.error(*left);
}

} // namespace j4::cli
