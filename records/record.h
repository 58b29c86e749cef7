#pragma once
// An attempt's record as the plant's database holds it, read back from its
// line in the update log: the log is the spool, so whatever reaches the
// database went through the log first, and a log of any age can be sent.

#include "result.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace j4::records {

// One column of the attempts table and the log field it comes from.
struct RecordColumn {
    const char* name;    // in the table
    const char* sqlType; // what its bound text parameter is cast to
};

// The table's columns, in the order of `Record::values`.
const std::vector<RecordColumn>& recordColumns();

struct Record {
    std::string attempt; // its UUID, the table's key
    // One per column: its text, or nothing for NULL.
    std::vector<std::optional<std::string>> values;
};

// The record a log line holds, or why the line is not one. A line written
// before attempts had IDs is given one made from its own bytes, so sending
// it again never doubles it.
Result<Record> readRecord(std::string_view line);

} // namespace j4::records
