#include "update_file.h"

#include <algorithm>
#include <array>
#include <cstdio>

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

std::string describeCharacter(std::uint8_t c) {
    char text[24];
    if (c >= 0x21 && c <= 0x7E)
        std::snprintf(text, sizeof text, "character '%c'", c);
    else
        std::snprintf(text, sizeof text, "byte 0x%02X", c);
    return text;
}

} // namespace

UpdateDecoder::UpdateDecoder(std::size_t expectedValues) {
    out_.resize(std::min(expectedValues, kMaxImageBytes));
}

bool UpdateDecoder::store(std::uint8_t value) {
    if (count_ == out_.size()) {
        if (count_ == kMaxImageBytes) {
            result_.error = LoadError::TooManyValues;
            return false;
        }
        out_.resize(std::min(kMaxImageBytes, std::max<std::size_t>(4096, count_ * 2)));
    }
    out_[count_++] = value;
    return true;
}

std::size_t UpdateDecoder::takeByteOrderMark(std::span<const std::uint8_t> chunk) {
    static constexpr std::uint8_t kMark[3] = {0xEF, 0xBB, 0xBF};
    std::size_t i = 0;
    while (markSeen_ < 3 && consumed_ == markSeen_ && i < chunk.size()) {
        if (chunk[i] != kMark[markSeen_]) {
            if (markSeen_ > 0) {
                // Part of a mark and then something else: the 0xEF starts no value.
                result_.error = LoadError::UnexpectedCharacter;
                result_.line = 1;
                result_.column = 1;
                result_.character = kMark[0];
                ended_ = true;
                return 0;
            }
            markSeen_ = 3; // no mark
            break;
        }
        ++markSeen_;
        ++consumed_;
        ++i;
        if (markSeen_ == 3)
            lineStart_ = 3;
    }
    consumed_ -= i; // counted again with the whole chunk
    return i;
}

bool UpdateDecoder::feed(std::span<const std::uint8_t> chunk) {
    if (ended_)
        return false;
    const std::uint8_t* data = chunk.data();
    const std::size_t size = chunk.size();
    std::size_t i = takeByteOrderMark(chunk);
    if (ended_)
        return false;
    // The common case works on locals; store() takes the rest and grows.
    std::uint8_t* out = out_.data();
    std::size_t room = out_.size();
    std::size_t count = count_;
    const auto slowStore = [&](std::uint8_t value) {
        count_ = count;
        const bool stored = store(value);
        out = out_.data();
        room = out_.size();
        count = count_;
        return stored;
    };
    for (; i < size; ++i) {
        const std::uint8_t k = kClass[data[i]];
        if (k < 16) {
            if (pending_ < 0) {
                // Most values are two digits together: take both at once.
                const std::uint8_t k2 = i + 1 < size ? kClass[data[i + 1]] : kOther;
                if (k2 < 16 && count < room) {
                    out[count++] = static_cast<std::uint8_t>(k * 16 + k2);
                    ++i;
                    // ... and the blank that usually follows.
                    if (i + 1 < size && kClass[data[i + 1]] == kSpace)
                        ++i;
                } else {
                    pending_ = k;
                }
                continue;
            }
            const auto value = static_cast<std::uint8_t>(pending_ * 16 + k);
            pending_ = -1;
            if (!slowStore(value)) {
                ended_ = true;
                break;
            }
            continue;
        }
        if (pending_ >= 0) {
            // A lone digit is a value of its own.
            const auto value = static_cast<std::uint8_t>(pending_);
            pending_ = -1;
            if (!slowStore(value)) {
                ended_ = true;
                break;
            }
        }
        if (k == kNewline) {
            ++line_;
            lineStart_ = consumed_ + i + 1;
        } else if (k == kOther) {
            result_.error = LoadError::UnexpectedCharacter;
            result_.line = line_;
            result_.column = consumed_ + i - lineStart_ + 1;
            result_.character = data[i];
            ended_ = true;
            break;
        }
    }
    count_ = count;
    consumed_ += size;
    return !ended_;
}

LoadResult refusedFile(LoadError error) {
    LoadResult result;
    result.error = error;
    return result;
}

LoadResult UpdateDecoder::finish() {
    if (result_.error == LoadError::None && markSeen_ > 0 && markSeen_ < 3) {
        // A file that is only the start of a byte-order mark.
        result_.error = LoadError::UnexpectedCharacter;
        result_.line = 1;
        result_.column = 1;
        result_.character = 0xEF;
    }
    if (result_.error == LoadError::None && pending_ >= 0) {
        const auto value = static_cast<std::uint8_t>(pending_);
        pending_ = -1;
        store(value);
    }
    ended_ = true;
    if (result_.error != LoadError::None)
        return std::move(result_);
    if (count_ == 0)
        return refusedFile(LoadError::Empty);
    out_.resize(count_);
    LoadResult result = validateFrames(out_);
    if (result.ok())
        result.image = std::move(out_);
    return result;
}

std::string loadErrorText(const LoadResult& result) {
    switch (result.error) {
    case LoadError::None:
        return {};
    case LoadError::Empty:
        return "Update file is empty.";
    case LoadError::TooManyValues:
        return "Update file is too large: more than " + std::to_string(kMaxImageBytes) + " bytes.";
    case LoadError::FileTooLarge:
        return "Update file is too large: more than " +
               std::to_string(kMaxUpdateFileBytes / (1024 * 1024)) + " MiB.";
    case LoadError::UnexpectedCharacter:
        return "Update file is damaged: unexpected " + describeCharacter(result.character) +
               " at line " + std::to_string(result.line) + ", column " +
               std::to_string(result.column) + ".";
    case LoadError::IncompleteFrame:
        return "Update file is damaged: incomplete frame at offset " +
               std::to_string(result.offset) + ".";
    case LoadError::ReadFailed:
        return "Update file could not be read to its end.";
    }
    return "Update file is damaged.";
}

LoadResult decodeUpdateFile(ByteSource& source, std::size_t expectedValues) {
    UpdateDecoder decoder(expectedValues);
    std::vector<std::uint8_t> chunk(64 * 1024);
    for (;;) {
        const std::ptrdiff_t got = source.read(chunk);
        if (got < 0) {
            // A read error looks like an early end of file; never pass a
            // truncated image off as the whole one.
            return refusedFile(LoadError::ReadFailed);
        }
        if (got == 0 || !decoder.feed({chunk.data(), static_cast<std::size_t>(got)}))
            break;
    }
    return decoder.finish();
}

LoadResult decodeUpdateText(std::span<const char> text) {
    UpdateDecoder decoder;
    decoder.feed({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    return decoder.finish();
}

LoadResult validateFrames(std::span<const std::uint8_t> image) {
    LoadResult result;
    std::size_t index = 0;
    while (index < image.size()) {
        const std::size_t left = image.size() - index;
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
