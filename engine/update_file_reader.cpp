#include "update_file_reader.h"

namespace j4 {

LoadResult loadUpdateFile(UpdateFileReader& file) {
    const auto size = file.size();
    if (size && *size > kMaxUpdateFileBytes)
        return refusedFile(LoadError::FileTooLarge);
    // Two digits a value at the most dense, so half the size is room enough.
    return loadUpdateFile(static_cast<ByteSource&>(file),
                          size ? static_cast<std::size_t>(*size / 2 + 1) : 0);
}

std::optional<LoadResult> loadUpdateFile(const std::string& path, UpdateFileReader::Kinds kinds,
                                         std::string& openReason, const std::atomic<bool>* stop) {
    UpdateFileReader::Opened opened = UpdateFileReader::open(path, kinds, stop);
    if (!opened.file) {
        openReason = opened.reason;
        return std::nullopt;
    }
    return loadUpdateFile(*opened.file);
}

} // namespace j4
