#include "scan_source.h"

#include <utility>

namespace j4::station {

Result<std::unique_ptr<ScanSource>> ScanSource::open(const std::string& where,
                                                     std::FILE* standardInput) {
    if (where == "-")
        return std::make_unique<ScanSource>(Made{}, standardInput, false, "standard input");
    auto opened = openScanPath(where);
    if (!opened)
        return fail(opened.error());
    return std::make_unique<ScanSource>(Made{}, *opened, true, where);
}

// Unbuffered, so that what waits for the next byte sees all that was sent.
ScanSource::ScanSource(Made, std::FILE* file, bool owned, std::string name)
    : file_(file), owned_(owned), name_(std::move(name)) {
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

ScanSource::~ScanSource() {
    if (owned_)
        std::fclose(file_);
}

std::optional<std::string> ScanSource::readLine(const std::atomic<bool>& stop) {
    std::string line;
    for (int c; waitReadable(file_, stop) && (c = std::getc(file_)) != EOF;) {
        // CR LF is one end, not a line and an empty one.
        if (c == '\n' && std::exchange(afterCarriageReturn_, false) && line.empty())
            continue;
        afterCarriageReturn_ = c == '\r';
        if (c == '\n' || c == '\r')
            return line;
        line += static_cast<char>(c);
    }
    return line.empty() || stop ? std::nullopt : std::optional(line);
}

} // namespace j4::station
