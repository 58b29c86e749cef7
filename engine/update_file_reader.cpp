#include "update_file_reader.h"

namespace j4 {

LoadResult loadUpdateFile(UpdateFileReader& file) {
    if (const auto size = file.size(); size && *size > kMaxUpdateFileBytes)
        return refusedFile(LoadError::FileTooLarge);
    return loadUpdateFile(static_cast<ByteSource&>(file));
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
