#include "update_file_reader.h"

#include "sha256.h"

namespace j4 {

namespace {

// Hashes what passes through, so the file is read once for both.
class HashingSource final : public ByteSource {
public:
    HashingSource(ByteSource& source, const ByteObserver& observer)
        : source_(source), observer_(observer) {}
    std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
        const std::ptrdiff_t got = source_.read(buffer);
        if (got > 0) {
            const auto chunk = buffer.first(static_cast<std::size_t>(got));
            hash.update(chunk);
            if (observer_)
                observer_(chunk);
            total += static_cast<std::uint64_t>(got);
        } else if (got == 0) {
            atEnd = true;
        }
        return got;
    }
    // The rest of the file, for the observer, as far as the size limit.
    void drain() {
        std::uint8_t chunk[65536];
        while (!atEnd && total <= kMaxUpdateFileBytes && read(chunk) > 0) {
        }
    }
    Sha256 hash;
    bool atEnd = false;
    std::uint64_t total = 0;

private:
    ByteSource& source_;
    const ByteObserver& observer_;
};

} // namespace

LoadResult decodeOpenedFile(UpdateFileReader& file, const ByteObserver& observer) {
    const auto size = file.size();
    if (size && *size > kMaxUpdateFileBytes)
        return refusedFile(LoadError::FileTooLarge);
    HashingSource hashing(file, observer);
    // Two digits a value at the most dense, so half the size is room enough.
    LoadResult result =
        decodeUpdateFile(hashing, size ? static_cast<std::size_t>(*size / 2 + 1) : 0);
    if (observer)
        hashing.drain();
    if (result.ok() && hashing.atEnd)
        result.sha256 = hashing.hash.hex();
    return result;
}

} // namespace j4
