#include "update_file.h"

#include <array>

namespace j4 {
namespace {

// Byte classes: 0..15 are hex digit values; the rest are markers.
constexpr std::uint8_t kSpace = 0x10;
constexpr std::uint8_t kNewline = 0x11;
constexpr std::uint8_t kOther = 0x20;

constexpr std::array<std::uint8_t, 256> makeClassTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kOther;
    for (int c = '0'; c <= '9'; ++c)
        table[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    // The white space that the formatted-input conversion skips.
    for (int c : {' ', '\t', '\r', '\v', '\f'})
        table[c] = kSpace;
    table['\n'] = kNewline;
    return table;
}

constexpr auto kClass = makeClassTable();

// A streaming scanner, so that a huge file is never read past the point where
// it is known to be refused.
class Decoder {
public:
    explicit Decoder(FrameImage& image) : image_(image) { image_.bufferSize = 0; }

    // Returns false once decoding has ended; the rest of the input is not needed.
    bool feed(const unsigned char* data, std::size_t size) {
        std::size_t i = 0;
        if (consumed_ == 0 && size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
            // Editors put a UTF-8 byte-order mark first; columns count after it.
            i = 3;
            lineStart_ = 3;
        }
        std::int32_t count = image_.bufferSize;
        int pending = pending_;
        std::uint8_t* const out = image_.buffer.data();
        bool running = true;
        for (; i < size; ++i) {
            const std::uint8_t k = kClass[data[i]];
            if (k < 16) {
                if (pending < 0) {
                    // Most values are two digits together: take both at once.
                    const std::uint8_t k2 = i + 1 < size ? kClass[data[i + 1]] : kOther;
                    if (k2 < 16 && count < FRAME_IMAGE_CAPACITY) {
                        out[count++] = static_cast<std::uint8_t>(k * 16 + k2);
                        ++i;
                        // ... and the blank that usually follows.
                        if (i + 1 < size && kClass[data[i + 1]] == kSpace)
                            ++i;
                    } else {
                        pending = k;
                    }
                    continue;
                }
                if (count == FRAME_IMAGE_CAPACITY) {
                    result_.error = LoadError::TooLarge;
                    running = false;
                    break;
                }
                out[count++] = static_cast<std::uint8_t>(pending * 16 + k);
                pending = -1;
                continue;
            }
            if (pending >= 0) {
                // A lone digit is a value of its own.
                if (count == FRAME_IMAGE_CAPACITY) {
                    result_.error = LoadError::TooLarge;
                    running = false;
                    break;
                }
                out[count++] = static_cast<std::uint8_t>(pending);
                pending = -1;
            }
            if (k == kNewline) {
                ++line_;
                lineStart_ = consumed_ + static_cast<std::int64_t>(i) + 1;
            } else if (k == kOther) {
                if (count == 0) {
                    result_.error = LoadError::Empty;
                } else {
                    result_.error = LoadError::UnexpectedCharacter;
                    result_.line = line_;
                    result_.column = static_cast<std::int32_t>(
                        consumed_ + static_cast<std::int64_t>(i) - lineStart_ + 1);
                }
                running = false;
                break;
            }
        }
        image_.bufferSize = count;
        pending_ = pending;
        consumed_ += static_cast<std::int64_t>(size);
        return running;
    }

    LoadResult finish() {
        if (result_.error == LoadError::None && pending_ >= 0) {
            if (image_.bufferSize == FRAME_IMAGE_CAPACITY)
                result_.error = LoadError::TooLarge;
            else
                image_.buffer[image_.bufferSize++] = static_cast<std::uint8_t>(pending_);
            pending_ = -1;
        }
        if (result_.error == LoadError::None) {
            result_ =
                image_.bufferSize == 0 ? LoadResult{LoadError::Empty} : validateFrames(image_);
        }
        if (!result_.ok())
            image_.bufferSize = 0;
        return result_;
    }

private:
    FrameImage& image_;
    LoadResult result_;
    int pending_ = -1; // high digit of a value whose second digit may follow
    std::int64_t consumed_ = 0;
    std::int64_t lineStart_ = 0;
    std::int32_t line_ = 1;
};

} // namespace

std::string loadErrorText(const LoadResult& result) {
    switch (result.error) {
    case LoadError::None:
        return {};
    case LoadError::Empty:
        return "Update file is empty.";
    case LoadError::TooLarge:
        return "Update file is too large: more than " + std::to_string(FRAME_IMAGE_CAPACITY) +
               " bytes.";
    case LoadError::UnexpectedCharacter:
        return "Update file is damaged: unexpected character at line " +
               std::to_string(result.line) + ", column " + std::to_string(result.column) + ".";
    case LoadError::IncompleteFrame:
        return "Update file is damaged: incomplete frame at offset " +
               std::to_string(result.offset) + ".";
    case LoadError::ReadFailed:
        return "Update file could not be read to its end.";
    }
    return "Update file is damaged.";
}

LoadResult loadUpdateFile(std::FILE* inFile, FrameImage& image) {
    Decoder decoder(image);
    std::array<unsigned char, 64 * 1024> chunk;
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), inFile);
        if (got == 0 || !decoder.feed(chunk.data(), got))
            break;
    }
    if (std::ferror(inFile)) {
        // A read error looks like an early end of file; never pass a truncated
        // image off as the whole one.
        image.bufferSize = 0;
        return LoadResult{LoadError::ReadFailed};
    }
    return decoder.finish();
}

LoadResult decodeUpdateText(std::span<const char> text, FrameImage& image) {
    Decoder decoder(image);
    decoder.feed(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return decoder.finish();
}

LoadResult validateFrames(const FrameImage& image) {
    LoadResult result;
    std::int32_t index = 0;
    while (index < image.bufferSize) {
        const std::int32_t left = image.bufferSize - index;
        if (left < 2 || frameSizeAt(image, index) > left) {
            result.error = LoadError::IncompleteFrame;
            result.offset = index;
            return result;
        }
        index += frameSizeAt(image, index);
        ++result.frames;
    }
    return result;
}

} // namespace j4
