#pragma once
// A whole log sent to the plant's database at once: a station that was
// offline for a week, a bench that only ever kept a log file. Sending it
// again adds nothing.

#include "result.h"

#include <atomic>
#include <functional>
#include <string>

namespace j4::records {

struct SentLog {
    std::size_t added = 0;   // new in the database
    std::size_t present = 0; // there already
    std::size_t damaged = 0; // lines that are not records, skipped
    std::size_t refused = 0; // records the database turned down, set aside
};

// Sends every record of `log`; each line that is not one, and each record
// the database refuses on its own merits, is told to `said` as
// "LOG:LINE ..." and passed over. Fails, with a sentence, when the log
// cannot be read or the database cannot be asked.
Result<SentLog> sendLog(const std::string& log, const std::string& url,
                        const std::atomic<bool>& stop,
                        const std::function<void(const std::string&)>& said);

} // namespace j4::records
