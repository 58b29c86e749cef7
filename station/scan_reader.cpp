#include "scan_reader.h"

namespace j4::station {

ScanReader::ScanReader(std::unique_ptr<ScanSource> source, UnitScans& units, Listener listener,
                       bool required)
    : thread_([source = std::shared_ptr<ScanSource>(std::move(source)), &units,
               listener = std::move(listener), required, ended = ended_] {
          while (const auto line = source->readLine())
              listener.heard(units.scan(*line));
          // The scanner is gone (its cable, its program): said once, as
          // nothing more can be scanned.
          const std::string why = "The units' scans ended (" + source->name() + " closed): ";
          listener.ended(why + (required ? "no device can be updated until the station is "
                                           "started again."
                                         : "devices are updated without a unit from now on."));
          *ended = true;
      }) {}

ScanReader::~ScanReader() {
    if (*ended_)
        thread_.join();
    else
        thread_.detach();
}

} // namespace j4::station
