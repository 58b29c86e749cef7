#pragma once
// Opening an update file for decoding. Opening never blocks (a FIFO or a
// device named by mistake cannot hang the caller), and a regular file's size
// is known before a byte is read.

#include "result.h"
#include "update_file.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace j4 {

// The path that names standard input.
inline constexpr const char* kStandardInput = "-";
// Why standard input is refused when it is a terminal.
inline constexpr const char* kStandardInputIsTerminal =
    "standard input is a terminal: pipe the update file in, or name it";

class UpdateFileReader : public ByteSource {
public:
    enum class Kinds {
        RegularOnly, // anything else is refused at open
        Any,         // pipes and devices are read as a stream
    };

    // The file, or the system's text for why it cannot be opened.
    using Opened = Result<std::unique_ptr<UpdateFileReader>>;

    // `path` is UTF-8; "-" is standard input (as a stream, and refused when
    // it is a terminal). A read cut short by a signal gives up once *stop is set.
    static Opened open(const std::string& path, Kinds kinds,
                       const std::atomic<bool>* stop = nullptr);

    // The size of a regular file; nothing for a stream.
    virtual std::optional<std::uint64_t> size() const = 0;
};

// Sees every byte of a file as it is read for decoding (a signature's hash).
using ByteObserver = std::function<void(std::span<const std::uint8_t>)>;

// Decodes an opened file, refusing one whose size is over the limit unread,
// and hashes it on the way. With an observer, the file is read to its end
// even when decoding stops early, so the observer has seen all of it.
LoadResult decodeOpenedFile(UpdateFileReader& file, const ByteObserver& observer = {});

} // namespace j4
