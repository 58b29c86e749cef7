#include "progress.h"

#include "terminal.h"

#include <algorithm>
#include <cstring>

namespace j4::cli {
namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

ProgressBoard::ProgressBoard(std::vector<std::string> labels, Mode mode, bool verbose,
                             std::FILE* out)
    : mode_(mode), verbose_(verbose), out_(out) {
    for (auto& label : labels) {
        labelWidth_ = std::max(labelWidth_, label.size());
        rows_.push_back({std::move(label), {}, {}, -1, {}, false});
    }
}

// "...end of a long name": the end holds the serial number and the port.
std::string fitLabel(const std::string& label, std::size_t width) {
    if (label.size() <= width)
        return label + std::string(width - label.size(), ' ');
    if (width <= 3)
        return label.substr(label.size() - width);
    return "..." + label.substr(label.size() - (width - 3));
}

std::string ProgressBoard::barLine(const Row& row, int columns) const {
    const int percent = row.state.percent();
    char figures[96];
    if (!row.result.empty()) {
        std::snprintf(figures, sizeof figures, "%3d%%  %s", percent, row.result.c_str());
    } else {
        const double seconds = row.started ? secondsSince(row.startedAt) : 0.0;
        const auto sent = static_cast<double>(row.state.acceptedBytes);
        const double rate = seconds > 0 ? sent / seconds : 0;
        char left[24] = "--:--"; // until a rate is known
        if (rate > 0) {
            const auto seconds =
                static_cast<long>((static_cast<double>(row.state.totalBytes) - sent) / rate + 0.5);
            std::snprintf(left, sizeof left, "%ld:%02ld", seconds / 60, seconds % 60);
        }
        std::snprintf(figures, sizeof figures, "%3d%%  %6.1f kB/s  %s left", percent, rate / 1000.0,
                      left);
    }
    // One column short of the width: a line that fills the last column
    // wraps on some terminals, and a wrapped row breaks the redraw in place.
    const int room = std::max(columns - 1, 8);
    const int fixed = static_cast<int>(std::strlen(figures)) + 4; // " [" "] "
    const int labelWidth = std::min(static_cast<int>(labelWidth_), std::max(room - fixed - 10, 8));
    const int barWidth = std::clamp(room - fixed - labelWidth, 0, 30);
    std::string bar(static_cast<std::size_t>(barWidth), '.');
    std::fill_n(bar.begin(), percent * barWidth / 100, '#');
    std::string line =
        fitLabel(row.label, static_cast<std::size_t>(labelWidth)) + " [" + bar + "] " + figures;
    if (static_cast<int>(line.size()) > room)
        line.resize(static_cast<std::size_t>(room));
    return line;
}

void ProgressBoard::redraw(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    const int columns = terminalColumns(out_);
    if (drawn_ && columns != columns_) {
        // Resized: rows drawn at the old width may have been rewrapped, so
        // the board starts afresh below them rather than overwrite blindly.
        std::fputs("\n", out_);
        drawn_ = false;
    }
    columns_ = columns;
    if (drawn_ && rows_.size() > 1)
        std::fprintf(out_, "\x1b[%zuA", rows_.size() - 1); // back to the first row
    for (std::size_t i = 0; i < rows_.size(); ++i)
        std::fprintf(out_, "\r%s\x1b[K%s", barLine(rows_[i], columns).c_str(),
                     i + 1 < rows_.size() ? "\n" : "");
    std::fflush(out_);
    drawn_ = true;
}

void ProgressBoard::started(std::size_t device, std::size_t totalBytes) {
    std::lock_guard lock(mutex_);
    Row& row = rows_[device];
    row.started = true;
    row.startedAt = std::chrono::steady_clock::now();
    row.state.totalBytes = totalBytes;
    if (mode_ == Mode::Lines) {
        std::fprintf(out_, "%s: sending %zu bytes\n", row.label.c_str(), totalBytes);
        std::fflush(out_);
        row.lastTenth = 0;
    } else if (mode_ == Mode::Terminal) {
        redraw(true);
    }
}

void ProgressBoard::sending(std::size_t device, const TransferState& state) {
    std::lock_guard lock(mutex_);
    Row& row = rows_[device];
    row.state = state;
    if (mode_ == Mode::Terminal) {
        redraw(false);
    } else if (mode_ == Mode::Lines) {
        const int tenth = state.percent() / 10;
        if (tenth > row.lastTenth && tenth > 0) {
            row.lastTenth = tenth;
            std::fprintf(out_, "%s: %d%%\n", row.label.c_str(), tenth * 10);
            std::fflush(out_);
        }
    }
}

void ProgressBoard::answered(std::size_t device, const TransferState& state,
                             std::chrono::steady_clock::duration sinceSent) {
    if (!verbose_)
        return;
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Terminal && drawn_)
        std::fputs("\r\x1b[K", out_);
    std::fprintf(out_, "%s: %s\n", rows_[device].label.c_str(),
                 traceLine(state, sinceSent).c_str());
    std::fflush(out_);
    drawn_ = false;
}

void ProgressBoard::finished(std::size_t device, const runs::AttemptReport& report) {
    std::lock_guard lock(mutex_);
    Row& row = rows_[device];
    row.state = report.transfer;
    // A failure's text is said once, with its detail, after the progress.
    row.result = report.completed() ? report.text : "failed";
    if (mode_ == Mode::Terminal) {
        redraw(true);
        if (std::all_of(rows_.begin(), rows_.end(), [](const Row& r) { return !r.result.empty(); }))
            std::fputc('\n', out_);
    } else if (mode_ == Mode::Lines) {
        std::fprintf(out_, "%s: %d%% %s\n", row.label.c_str(), report.transfer.percent(),
                     row.result.c_str());
    }
    std::fflush(out_);
}

} // namespace j4::cli
