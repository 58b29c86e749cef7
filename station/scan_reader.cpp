#include "scan_reader.h"

namespace j4::station {

ScanReader::ScanReader(std::unique_ptr<ScanSource> source, UnitScans& units, Listener listener,
                       bool required)
    : thread_([this, source = std::shared_ptr<ScanSource>(std::move(source)), &units,
               listener = std::move(listener), required] {
          while (const auto line = source->readLine(stop_))
              listener.heard(units.scan(*line));
          if (stop_)
              return;
          // The scanner is gone (its cable, its program): said once, as
          // nothing more can be scanned.
          const std::string why = "The units' scans ended (" + source->name() + " closed): ";
          listener.ended(why + (required ? "no device can be updated until the station is "
                                           "started again."
                                         : "devices are updated without a unit from now on."));
      }) {}

ScanReader::~ScanReader() {
    stop_ = true;
    thread_.wait();
}

} // namespace j4::station
