#pragma once
// The decoded update file: a fixed array of length-prefixed frames.

#include <array>
#include <cstdint>
#include <span>

namespace j4 {

inline constexpr std::int32_t FRAME_IMAGE_CAPACITY = 262144;

struct FrameImage {
    std::array<std::uint8_t, FRAME_IMAGE_CAPACITY> buffer{};
    std::int32_t bufferSize = 0;

    std::span<const std::uint8_t> bytes() const {
        return {buffer.data(), static_cast<std::size_t>(bufferSize)};
    }
};

// Size on the wire of the frame whose length bytes start at `offset`: the
// big-endian length field plus the two length bytes themselves.
inline std::int32_t frameSizeAt(const FrameImage& image, std::int32_t offset) {
    return image.buffer[offset] * 256 + image.buffer[offset + 1] + 2;
}

} // namespace j4
