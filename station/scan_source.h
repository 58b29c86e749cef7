#pragma once
// Where a station's scans come from when no one types them into a window:
// standard input ("-"), or a path: a FIFO a scanning program writes to, a
// file of scans, or a serial scanner's port (a barcode scanner is a
// keyboard, or a serial port). Lines end with LF, CR or both, as scanners
// are set to send them.

#include "result.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace j4::station {

class ScanSource {
public:
    // `where`: "-" for `standardInput`, else a path.
    static Result<std::unique_ptr<ScanSource>> open(const std::string& where,
                                                    std::FILE* standardInput);
    ~ScanSource();
    ScanSource(const ScanSource&) = delete;
    ScanSource& operator=(const ScanSource&) = delete;

    // The next line as sent (NUL bytes and all, however long), without its
    // end; nothing once the source has ended, or once `stop` is set. Waits
    // until a line comes.
    std::optional<std::string> readLine(const std::atomic<bool>& stop);
    // "standard input", or the path.
    const std::string& name() const { return name_; }

private:
    struct Made {}; // only open() makes one
public:
    ScanSource(Made, std::FILE* file, bool owned, std::string name);

private:
    std::FILE* file_;
    bool owned_;
    std::string name_;
    bool afterCarriageReturn_ = false;
};

// Opens `path` for scans as the system needs it: a FIFO so that it never
// ends when its writers come and go, a serial port raw. Why not, otherwise.
Result<std::FILE*> openScanPath(const std::string& path);

// Waits until `file` (unbuffered) has a byte to read or has ended: true; or
// until `stop` is set: false. Looks at `stop` every few tenths of a second.
bool waitReadable(std::FILE* file, const std::atomic<bool>& stop);

} // namespace j4::station
