#include "update_file_reader.h"

#include "sha256.h"

namespace j4 {

namespace {

// Hashes what passes through, so the file is read once for both.
class HashingSource final : public ByteSource {
public:
    explicit HashingSource(ByteSource& source) : source_(source) {}
    std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
        const std::ptrdiff_t got = source_.read(buffer);
        if (got > 0)
            hash.update(buffer.first(static_cast<std::size_t>(got)));
        else if (got == 0)
            atEnd = true;
        return got;
    }
    Sha256 hash;
    bool atEnd = false;

private:
    ByteSource& source_;
};

} // namespace

LoadResult decodeOpenedFile(UpdateFileReader& file) {
    const auto size = file.size();
    if (size && *size > kMaxUpdateFileBytes)
        return refusedFile(LoadError::FileTooLarge);
    HashingSource hashing(file);
    // Two digits a value at the most dense, so half the size is room enough.
    LoadResult result =
        decodeUpdateFile(hashing, size ? static_cast<std::size_t>(*size / 2 + 1) : 0);
    if (result.ok() && hashing.atEnd)
        result.sha256 = hashing.hash.hex();
    return result;
}

} // namespace j4
