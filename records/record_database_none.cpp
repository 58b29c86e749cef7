#include "record_database.h"

namespace j4::records {

// Debian builds no PostgreSQL client for Windows: this build keeps its
// records in the log, which j4_flash --send-records forwards from Linux.
namespace {
const char kNoClient[] =
    "--records: this build cannot reach a database; keep the log (--log) and send it "
    "from Linux with j4_flash --send-records LOG --records URI";
}

Result<Done> checkRecordsAddress(const std::string&) {
    return fail(kNoClient);
}

Result<std::unique_ptr<RecordDatabase>> RecordDatabase::open(const std::string&,
                                                             const std::atomic<bool>*, Bounds) {
    return fail(kNoClient);
}

} // namespace j4::records
