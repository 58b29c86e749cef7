#pragma once
// Decoding of `.j4u` update files (hexadecimal text) into the frame image,
// and the check that the image is a whole number of frames.

#include "frame_image.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace j4 {

enum class LoadError {
    None,
    Empty,               // no value at all
    TooLarge,            // more values than the image holds
    UnexpectedCharacter, // decoding stopped at a character that starts no value
    IncompleteFrame,     // a frame runs past the decoded data
    ReadFailed,          // the stream reported an error before its end
};

struct LoadResult {
    LoadError error = LoadError::None;
    std::int32_t line = 0;   // UnexpectedCharacter: 1-based line (a line ends at LF)
    std::int32_t column = 0; // UnexpectedCharacter: 1-based byte column
    std::int32_t offset = 0; // IncompleteFrame: offset of the frame's first length byte
    std::int32_t frames = 0; // None: number of frames in the image

    bool ok() const { return error == LoadError::None; }
};

// The one text the operator sees for a refused file; empty for LoadError::None.
std::string loadErrorText(const LoadResult& result);

// Decodes the stream from its current position into `image` (always from offset
// 0) and validates the result. On any refusal the image is left empty, so a
// refused file can never reach the device. Reading stops at the first value
// past the image's capacity.
LoadResult loadUpdateFile(std::FILE* inFile, FrameImage& image);

// The same over text already in memory.
LoadResult decodeUpdateText(std::span<const char> text, FrameImage& image);

// Walks the frames from offset 0; the first frame that runs past the data (or
// a lone length byte at the end) is reported as IncompleteFrame.
LoadResult validateFrames(const FrameImage& image);

} // namespace j4
