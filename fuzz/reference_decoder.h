#pragma once
// A deliberately naive update-file decoder, written to be obviously right
// rather than fast: the fuzzer checks the real one against it.

#include "update_file.h"

#include <cstdint>
#include <span>
#include <vector>

namespace reference {

struct Result {
    j4::LoadError error = j4::LoadError::None;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::uint8_t character = 0;
    std::size_t offset = 0;
    std::size_t frames = 0;
    std::vector<std::uint8_t> image;
};

inline int digit(std::uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

inline bool blank(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

inline Result decode(std::span<const std::uint8_t> text) {
    Result r;
    std::size_t i = 0;
    std::size_t lineStart = 0;
    std::uint64_t line = 1;
    if (text.size() >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF)
        i = lineStart = 3;
    std::vector<std::uint8_t> values;
    while (i < text.size()) {
        const std::uint8_t c = text[i];
        if (blank(c)) {
            if (c == '\n') {
                ++line;
                lineStart = i + 1;
            }
            ++i;
            continue;
        }
        if (digit(c) < 0) {
            r.error = j4::LoadError::UnexpectedCharacter;
            r.line = line;
            r.column = i - lineStart + 1;
            r.character = c;
            return r;
        }
        int value = digit(c);
        ++i;
        if (i < text.size() && digit(text[i]) >= 0) {
            value = value * 16 + digit(text[i]);
            ++i;
        }
        if (values.size() == j4::kMaxImageBytes) {
            r.error = j4::LoadError::TooManyValues;
            return r;
        }
        values.push_back(static_cast<std::uint8_t>(value));
    }
    if (values.empty()) {
        r.error = j4::LoadError::Empty;
        return r;
    }
    std::size_t at = 0;
    while (at < values.size()) {
        if (values.size() - at < 2 ||
            values[at] * 256u + values[at + 1] + 2u > values.size() - at) {
            r.error = j4::LoadError::IncompleteFrame;
            r.offset = at;
            return r;
        }
        at += values[at] * 256u + values[at + 1] + 2u;
        ++r.frames;
    }
    r.image = std::move(values);
    return r;
}

} // namespace reference
