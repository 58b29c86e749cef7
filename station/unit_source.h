#pragma once
// What a slot sends its next unit, asked right before the unit's transfer:
// a station that follows its line gets the line's release, its work order
// and a claim on one of its units, between units, never during a transfer.

#include "attempt_report.h"

#include <cstddef>
#include <memory>
#include <string>

namespace j4::station {

struct UnitPlan {
    std::shared_ptr<const DecodedFile> decoded; // empty: the unit is not updated
    std::string filePath;
    runs::Production production;
    std::string attempt; // the attempt's ID, fixed before it is claimed
    std::string refusal; // why not, in the operator's words
};

class UnitSource {
public:
    virtual ~UnitSource() = default;
    // Called from the slot's own thread; slots may ask at once.
    virtual UnitPlan next(std::size_t slot) = 0;
    // The planned attempt's end.
    virtual void ended(std::size_t slot, const runs::AttemptReport& report) = 0;
};

} // namespace j4::station
