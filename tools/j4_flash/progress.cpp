#include "progress.h"

#include <algorithm>

namespace j4::flash {
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

std::string ProgressBoard::barLine(const Row& row) const {
    constexpr int kWidth = 30;
    const int percent = row.state.percent();
    std::string bar(kWidth, '.');
    std::fill_n(bar.begin(), percent * kWidth / 100, '#');
    char line[256];
    if (!row.result.empty()) {
        std::snprintf(line, sizeof line, "%-*s [%s] %3d%%  %s", static_cast<int>(labelWidth_),
                      row.label.c_str(), bar.c_str(), percent, row.result.c_str());
        return line;
    }
    const double seconds = row.started ? secondsSince(row.startedAt) : 0.0;
    const auto sent = static_cast<double>(row.state.acceptedBytes);
    const double rate = seconds > 0 ? sent / seconds : 0;
    const long left =
        rate > 0
            ? static_cast<long>((static_cast<double>(row.state.totalBytes) - sent) / rate + 0.5)
            : 0;
    std::snprintf(line, sizeof line, "%-*s [%s] %3d%%  %6.1f kB/s  %ld:%02ld left",
                  static_cast<int>(labelWidth_), row.label.c_str(), bar.c_str(), percent,
                  rate / 1000.0, left / 60, left % 60);
    return line;
}

void ProgressBoard::redraw(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    if (drawn_ && rows_.size() > 1)
        std::fprintf(out_, "\x1b[%zuA", rows_.size() - 1); // back to the first row
    for (std::size_t i = 0; i < rows_.size(); ++i)
        std::fprintf(out_, "\r%s\x1b[K%s", barLine(rows_[i]).c_str(),
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
    const double ms = std::chrono::duration<double, std::milli>(sinceSent).count();
    if (mode_ == Mode::Terminal && drawn_)
        std::fputs("\r\x1b[K", out_);
    std::fprintf(out_, "%s: frame %zu offset %zu size %zu answer 0x%02X rejects %d %.3f ms\n",
                 rows_[device].label.c_str(), state.frameNumber, state.frameOffset, state.frameSize,
                 state.lastAnswer, state.rejectsInARow, ms);
    std::fflush(out_);
    drawn_ = false;
}

void ProgressBoard::finished(std::size_t device, const UpdateReport& report) {
    std::lock_guard lock(mutex_);
    Row& row = rows_[device];
    row.state = report.where;
    row.result = report.text;
    if (mode_ == Mode::Terminal) {
        redraw(true);
        if (std::all_of(rows_.begin(), rows_.end(), [](const Row& r) { return !r.result.empty(); }))
            std::fputc('\n', out_);
    } else if (mode_ == Mode::Lines) {
        std::fprintf(out_, "%s: %d%% %s\n", row.label.c_str(), report.where.percent(),
                     report.text.c_str());
    }
    std::fflush(out_);
}

} // namespace j4::flash
