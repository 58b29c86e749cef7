#include "exit_status.h"

namespace j4::runs {

int exitStatus(UpdateOutcome outcome) {
    switch (outcome) {
    case UpdateOutcome::Completed:
        return kCompleted;
    case UpdateOutcome::FileUnreadable:
    case UpdateOutcome::FileRefused:
        return kFileRefused;
    case UpdateOutcome::PortFailed:
        return kPortFailed;
    case UpdateOutcome::LinkFailed:
        return kLinkFailed;
    case UpdateOutcome::UnexpectedAnswer:
    case UpdateOutcome::AnswersOutOfStep:
        return kCommunicationError;
    case UpdateOutcome::RejectedFourTimes:
        return kCrcError;
    case UpdateOutcome::Interrupted:
        return kInterrupted;
    case UpdateOutcome::Withheld:
        // The plant's database could not confirm the unit: as a record that
        // did not reach it.
        return kRecordsFailed;
    case UpdateOutcome::NotStarted:
        return kUnitNotScanned;
    }
    return kLinkFailed;
}

} // namespace j4::runs
