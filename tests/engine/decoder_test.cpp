#include "update_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace j4;

namespace {

// One image for every test: it is far too big for comfort on a stack, and a
// shared one also shows that nothing of an earlier load leaks into the next.
FrameImage& sharedImage() {
    static FrameImage image;
    return image;
}

std::vector<std::uint8_t> bytesOf(const FrameImage& image) {
    return {image.buffer.begin(), image.buffer.begin() + image.bufferSize};
}

struct Decoded {
    LoadResult result;
    std::vector<std::uint8_t> bytes;
};

// Decodes through a real stream, as the tool does.
Decoded load(const std::string& text) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::rewind(file.get());
    const LoadResult result = loadUpdateFile(file.get(), sharedImage());
    return {result, bytesOf(sharedImage())};
}

std::string hexValues(std::size_t count, const char* separator = " ") {
    std::string text;
    text.reserve(count * 3);
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[(i >> 4) & 15];
        text += digits[i & 15];
        text += separator;
    }
    return text;
}

// A whole-frames text of exactly `values` values: frames of 0x400 content
// bytes, the last one cut to fit.
std::string framesText(std::size_t values) {
    std::string text;
    text.reserve(values * 3);
    std::size_t left = values;
    char header[32];
    while (left > 0) {
        const std::size_t content = std::min<std::size_t>(left - 2, 0x400);
        std::snprintf(header, sizeof header, "%02zX %02zX ", content >> 8, content & 0xFF);
        text += header;
        text += hexValues(content);
        left -= content + 2;
    }
    return text;
}

} // namespace

TEST(Decoder, FormatCasesFromTheFileFormat) {
    // Each case is a whole-frame text so the frame check passes and only the
    // decoding is under test: the first two values are the length field.
    struct Case {
        const char* text;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"00 02 0A 1B", {0x00, 0x02, 0x0A, 0x1B}},
        {"00020A1B", {0x00, 0x02, 0x0A, 0x1B}},
        {"00\t02\r\n0A\r\n1B\r\n", {0x00, 0x02, 0x0A, 0x1B}},
        {"00 03 0a0B0c", {0x00, 0x03, 0x0A, 0x0B, 0x0C}},
        {"00 02 ABC", {0x00, 0x02, 0xAB, 0x0C}}, // a lone trailing digit is a value
        {"0 2 A B", {0x00, 0x02, 0x0A, 0x0B}},
        {"\xEF\xBB\xBF"
         "00 01 FF",
         {0x00, 0x01, 0xFF}},    // byte-order mark skipped
        {"00 00", {0x00, 0x00}}, // one frame of size 2
    };
    for (const auto& c : cases) {
        const Decoded d = load(c.text);
        EXPECT_TRUE(d.result.ok()) << c.text << ": " << loadErrorText(d.result);
        EXPECT_EQ(d.bytes, c.bytes) << c.text;
    }
}

TEST(Decoder, TwoFramesFromTheExample) {
    const Decoded d = load("00 03 AA BB CC 00 01 DD");
    ASSERT_TRUE(d.result.ok());
    EXPECT_EQ(d.result.frames, 2);
    EXPECT_EQ(d.bytes, (std::vector<std::uint8_t>{0, 3, 0xAA, 0xBB, 0xCC, 0, 1, 0xDD}));
    EXPECT_EQ(frameSizeAt(sharedImage(), 0), 5);
    EXPECT_EQ(frameSizeAt(sharedImage(), 5), 3);
}

TEST(Decoder, DecodingStopsAtTheFirstCharacterThatStartsNoValue) {
    const Decoded d = load("01 02 G3 04");
    EXPECT_EQ(d.result.error, LoadError::UnexpectedCharacter);
    EXPECT_EQ(d.result.line, 1);
    EXPECT_EQ(d.result.column, 7);
    EXPECT_TRUE(d.bytes.empty());
}

TEST(Decoder, RefusesFilesWithoutAnyValue) {
    for (const char* text : {"", "   \r\n\t  \n", ":100000000102", "# comment\n00 01 02",
                             "\xEF\xBB\xBF", "\xEF\xBB\xBF  \r\n"}) {
        const Decoded d = load(text);
        EXPECT_EQ(d.result.error, LoadError::Empty) << '"' << text << '"';
        EXPECT_EQ(loadErrorText(d.result), "Update file is empty.");
    }
}

TEST(Decoder, DamagedTextNamesLineAndColumn) {
    struct Case {
        const char* text;
        int line;
        int column;
    };
    const Case cases[] = {
        {"00 01 AA\nxx", 2, 1},
        {"00 01 AA\r\n00 01 BB\r\n00 Z1 CC\r\n", 3, 4}, // CR counts as a byte of its line
        {"\xEF\xBB\xBF"
         "00 01 AA ;",
         1, 10},                          // columns on line 1 count after the byte-order mark
        {"00 01 AA \xEF\xBB\xBF", 1, 10}, // a mark anywhere else is damage
        {"00 01 AA\n\n\n  -1", 4, 3},     // signs are not part of a value
        {"00 02 0x12", 1, 8},             // nor is a C prefix
        {"00 01 AA 00 01 BB\x1A", 1, 18}, // nor an end-of-file mark
        {"00 01 AA\n\t\t\xC3\xA9", 2, 3}, // columns count bytes, not characters
    };
    for (const auto& c : cases) {
        const Decoded d = load(c.text);
        ASSERT_EQ(d.result.error, LoadError::UnexpectedCharacter) << c.text;
        EXPECT_EQ(d.result.line, c.line) << c.text;
        EXPECT_EQ(d.result.column, c.column) << c.text;
        EXPECT_TRUE(d.bytes.empty());
    }
    EXPECT_EQ(loadErrorText(load("00 01 AA\r\n00 01 BB\r\n00 Z1 CC\r\n").result),
              "Update file is damaged: unexpected character at line 3, column 4.");
}

TEST(Decoder, RefusesDataThatIsNotAWholeNumberOfFrames) {
    struct Case {
        const char* text;
        int offset;
    };
    const Case cases[] = {
        {"00 03 AA BB", 0},             // content shorter than declared
        {"00 01 AA 00", 3},             // a lone length byte at the end
        {"00 01 AA 00 02 BB", 3},       // second frame overruns
        {"FF FF 00", 0},                // declared size far past the data
        {"00 00 00 00 00 05 01 02", 4}, // empty frames are fine, the third is not
    };
    for (const auto& c : cases) {
        const Decoded d = load(c.text);
        ASSERT_EQ(d.result.error, LoadError::IncompleteFrame) << c.text;
        EXPECT_EQ(d.result.offset, c.offset) << c.text;
        EXPECT_TRUE(d.bytes.empty());
    }
    EXPECT_EQ(loadErrorText(load("00 01 AA 00 02 BB").result),
              "Update file is damaged: incomplete frame at offset 3.");
}

TEST(Decoder, FirstErrorMetWins) {
    // Damage seen before the frames are checked wins over an incomplete frame.
    EXPECT_EQ(load("00 09 AA !").result.error, LoadError::UnexpectedCharacter);
    // Too many values before a bad character: the size is met first.
    const std::string tooMany = hexValues(FRAME_IMAGE_CAPACITY + 1) + "!";
    EXPECT_EQ(load(tooMany).result.error, LoadError::TooLarge);
    // A bad character before the limit is met first.
    const std::string damaged = "00 01 AA !" + hexValues(FRAME_IMAGE_CAPACITY + 1);
    EXPECT_EQ(load(damaged).result.error, LoadError::UnexpectedCharacter);
}

TEST(Decoder, CapacityBoundary) {
    const Decoded full = load(framesText(FRAME_IMAGE_CAPACITY));
    ASSERT_TRUE(full.result.ok()) << loadErrorText(full.result);
    EXPECT_EQ(full.bytes.size(), static_cast<std::size_t>(FRAME_IMAGE_CAPACITY));

    const Decoded packed = load(hexValues(FRAME_IMAGE_CAPACITY + 1, ""));
    EXPECT_EQ(packed.result.error, LoadError::TooLarge);
    EXPECT_EQ(loadErrorText(packed.result), "Update file is too large: more than 262144 bytes.");

    // A lone digit as the 262,145th value counts too.
    const Decoded lone = load(framesText(FRAME_IMAGE_CAPACITY) + "7");
    EXPECT_EQ(lone.result.error, LoadError::TooLarge);
    EXPECT_TRUE(lone.bytes.empty());
}

TEST(Decoder, HugeFileIsNotReadToItsEnd) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    const std::string block = hexValues(4096);
    for (int i = 0; i < 200; ++i) // 819,200 values
        std::fwrite(block.data(), 1, block.size(), file.get());
    std::rewind(file.get());
    EXPECT_EQ(loadUpdateFile(file.get(), sharedImage()).error, LoadError::TooLarge);
    EXPECT_LT(std::ftell(file.get()), static_cast<long>(FRAME_IMAGE_CAPACITY * 3 + 128 * 1024));
}

TEST(Decoder, EachLoadStartsFromAnEmptyImage) {
    const Decoded longer = load("00 05 01 02 03 04 05");
    ASSERT_TRUE(longer.result.ok());
    const Decoded shorter = load("00 01 99");
    ASSERT_TRUE(shorter.result.ok());
    EXPECT_EQ(shorter.bytes, (std::vector<std::uint8_t>{0, 1, 0x99}));
    // A short file whose header claims more than it holds could have reached
    // bytes an earlier, longer file left behind; it is refused instead.
    ASSERT_TRUE(load("00 05 01 02 03 04 05").result.ok());
    EXPECT_EQ(load("00 05 01").result.error, LoadError::IncompleteFrame);
}

TEST(Decoder, ReadErrorIsNotTakenForEndOfFile) {
    // A write-only stream fails on the first read.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen("/dev/null", "w"),
                                                         &std::fclose);
    ASSERT_NE(file, nullptr);
    const LoadResult result = loadUpdateFile(file.get(), sharedImage());
    EXPECT_EQ(result.error, LoadError::ReadFailed);
    EXPECT_EQ(loadErrorText(result), "Update file could not be read to its end.");
}
