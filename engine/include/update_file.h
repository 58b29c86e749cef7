#pragma once
// `.j4u` update files: hexadecimal text decoded into an image of
// length-prefixed frames, refused whole when it is not exactly that.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace j4 {

// The most bytes an image may hold; a file with more values is refused.
inline constexpr std::size_t kMaxImageBytes = 262144;
// A regular file larger than this is refused unread: the largest valid file,
// generously spaced, is under 2 MiB.
inline constexpr std::uint64_t kMaxUpdateFileBytes = 64ull * 1024 * 1024;

// Size on the wire of the frame whose length bytes start at `offset`: the
// big-endian length field plus the two length bytes themselves.
inline std::size_t frameSizeAt(std::span<const std::uint8_t> image, std::size_t offset) {
    return std::size_t{image[offset]} * 256 + image[offset + 1] + 2;
}

enum class LoadError {
    None,
    Empty,               // no value, nothing but white space
    TooManyValues,       // more values than an image may hold
    FileTooLarge,        // a regular file over kMaxUpdateFileBytes
    UnexpectedCharacter, // decoding stopped at a byte that starts no value
    IncompleteFrame,     // a frame runs past the decoded data
    ReadFailed,          // the file reported an error before its end
};

struct LoadResult {
    LoadError error = LoadError::None;
    std::uint64_t line = 0;   // UnexpectedCharacter: 1-based line (a line ends at LF)
    std::uint64_t column = 0; // UnexpectedCharacter: 1-based byte column
    std::uint8_t character = 0;
    std::size_t offset = 0;          // IncompleteFrame: offset of the frame's first length byte
    std::size_t frames = 0;          // None: number of frames in the image
    std::vector<std::uint8_t> image; // empty unless the file was accepted
    std::string sha256;              // of the whole file, when it was accepted

    bool ok() const { return error == LoadError::None; }
};

// The one text the operator sees for a refused file; empty for LoadError::None.
std::string loadErrorText(const LoadResult& result);

// A refusal with nothing but its kind.
LoadResult refusedFile(LoadError error);

// A streaming decoder, so that a huge file is never read past the point where
// it is known to be refused. Feed it chunks of any size, then finish().
class UpdateDecoder {
public:
    // `expectedValues` sizes the image up front; it grows past that as needed.
    explicit UpdateDecoder(std::size_t expectedValues = 0);

    // Returns false once decoding has ended; the rest of the input is not needed.
    bool feed(std::span<const std::uint8_t> chunk);
    LoadResult finish();

private:
    bool store(std::uint8_t value);
    // Editors put a UTF-8 byte-order mark first; columns count after it. The
    // mark may come split over several chunks. Returns how many bytes of
    // `chunk` it took; a mark begun and not finished ends the decoding.
    std::size_t takeByteOrderMark(std::span<const std::uint8_t> chunk);

    LoadResult result_;
    std::vector<std::uint8_t> out_;
    std::size_t count_ = 0;
    int pending_ = -1; // high digit of a value whose second digit may follow
    std::uint64_t consumed_ = 0;
    std::uint64_t lineStart_ = 0;
    std::uint64_t line_ = 1;
    std::uint64_t markSeen_ = 0; // bytes of a leading byte-order mark seen so far
    bool ended_ = false;
};

// Where decoded text comes from, a chunk at a time.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Bytes read into `buffer`: 0 at the end, negative on a read error.
    virtual std::ptrdiff_t read(std::span<std::uint8_t> buffer) = 0;
};

// Decodes the whole source and validates the frames.
LoadResult decodeUpdateFile(ByteSource& source, std::size_t expectedValues = 0);
// The same over text already in memory.
LoadResult decodeUpdateText(std::span<const char> text);
// Walks the frames from offset 0; the first frame that runs past the data (or
// a lone length byte at the end) is reported as IncompleteFrame.
LoadResult validateFrames(std::span<const std::uint8_t> image);

} // namespace j4
