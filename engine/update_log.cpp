#include "update_log.h"

#include <cstdio>
#include <mutex>

namespace j4 {

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()),
                  int(time.subseconds().count()));
    return text;
}

Result<Done> UpdateLog::appendText(const std::string& line) const {
    if (path_ != "-")
        return appendLine(path_, line);
    // Standard output: one line at a time, whole, whatever the threads.
    static std::mutex writing;
    const std::lock_guard lock(writing);
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)
        return fail(std::string("standard output cannot be written"));
    return Done{};
}

} // namespace j4
