#pragma once
// What j4_flash shows while devices are updated: on a terminal one line per
// device redrawn in place; otherwise plain lines when something changes (the
// start, every tenth, the end); with --verbose a line per transmission. Safe
// to call from every device's thread.

#include "attempt_report.h"
#include "update_session.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace j4::cli {

class ProgressBoard {
public:
    enum class Mode { Quiet, Lines, Terminal };

    ProgressBoard(std::vector<std::string> labels, Mode mode, bool verbose, std::FILE* out);

    void started(std::size_t device, std::size_t totalBytes);
    void sending(std::size_t device, const TransferState& state);
    void answered(std::size_t device, const TransferState& state,
                  std::chrono::steady_clock::duration sinceSent);
    void finished(std::size_t device, const runs::AttemptReport& report);

private:
    struct Row {
        std::string label;
        TransferState state;
        std::chrono::steady_clock::time_point startedAt;
        int lastTenth = -1;
        std::string result;
        bool started = false;
    };
    std::string barLine(const Row& row, int columns) const;
    void redraw(bool force);

    std::mutex mutex_;
    std::vector<Row> rows_;
    Mode mode_;
    bool verbose_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point lastDraw_{};
    bool drawn_ = false;
    int columns_ = 0;
    std::size_t labelWidth_ = 0;
};

} // namespace j4::cli
