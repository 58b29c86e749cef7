#pragma once
// The line's own signal after each attempt (--on-result CMD): a stack light,
// a buzzer, a label printer. The command runs on a thread of its own with
// the attempt in its environment, so it never holds up a slot; one that runs
// longer than 10 s is ended, with all it started; what it prints goes to
// standard error; a failure is said once and changes no result.

#include "attempt.h"
#include "worker_thread.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>

namespace j4::station {

class ResultHook {
public:
    // `command` runs through the system's shell.
    explicit ResultHook(std::string command,
                        std::chrono::milliseconds bound = std::chrono::seconds(10))
        : command_(std::move(command)), bound_(bound) {}
    // Waits for the commands still running (each ends within its bound).
    ~ResultHook();
    ResultHook(const ResultHook&) = delete;
    ResultHook& operator=(const ResultHook&) = delete;

    // Starts the command for the attempt and returns at once; a failure
    // reaches `listener.notice`, once for the whole run.
    void run(const runs::AttemptReport& report, runs::DeviceListener& listener);

    // What J4_RESULT says of an attempt: completed, failed or interrupted.
    static const char* resultName(const runs::AttemptReport& report);

private:
    void runNow(const runs::AttemptReport& report, runs::DeviceListener& listener);

    std::string command_;
    std::chrono::milliseconds bound_;
    std::atomic<bool> failureSaid_{false};
    std::mutex mutex_;
    struct Running {
        WorkerThread thread;
        std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
    };
    std::list<Running> running_;
};

} // namespace j4::station
