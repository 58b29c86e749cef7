#pragma once
// What a slot sends its next unit, asked right before the unit's transfer:
// a station that follows its line gets the line's release, its work order
// and a claim on one of its units, between units, never during a transfer.

#include "attempt_report.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace j4::station {

struct UnitPlan {
    std::shared_ptr<const DecodedFile> decoded; // empty: the unit is not updated
    std::string filePath;
    runs::Production production;
    std::string attempt; // the attempt's ID, fixed before it is claimed
    std::string refusal; // why not, in the operator's words
    // Asked right before the unit's last frame, with the unit's serial
    // where scanned: empty, it goes out; else why the unit may not be
    // completed, and it is kept back.
    std::function<std::string(const std::string& unit)> confirm;
};

// A plan's confirmation asked before a request's last frame; its words
// become the report's when the frame was kept back. Lives as long as the
// attempt.
class LastFrameConfirmation {
public:
    LastFrameConfirmation(UpdateRequest& request, const UnitPlan& plan, std::string unit)
        : confirm_(plan.confirm), unit_(std::move(unit)) {
        if (confirm_)
            request.beforeLastFrame = [this] {
                why_ = confirm_(unit_);
                return why_.empty();
            };
    }
    LastFrameConfirmation(const LastFrameConfirmation&) = delete;
    LastFrameConfirmation& operator=(const LastFrameConfirmation&) = delete;
    void explain(runs::AttemptReport& report) const {
        if (report.outcome == UpdateOutcome::Withheld && !why_.empty())
            report.text = why_;
    }

private:
    std::function<std::string(const std::string&)> confirm_;
    std::string unit_;
    std::string why_;
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
