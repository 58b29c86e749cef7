#include "update_file.h"
#include "update_file_reader.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <algorithm>

#include <gtest/gtest.h>

#include <optional>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace j4;

namespace {

struct Decoded {
    LoadResult result;
    std::vector<std::uint8_t> bytes;
};

// A source that hands out the text in chunks of a chosen size, as a file
// read by a slow device would, and can fail part-way.
class ChunkedText final : public ByteSource {
public:
    ChunkedText(std::string text, std::size_t chunk, bool failAtEnd = false)
        : text_(std::move(text)), chunk_(chunk), failAtEnd_(failAtEnd) {}
    std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n = std::min({chunk_, buffer.size(), text_.size() - at_});
        if (n == 0 && failAtEnd_)
            return -1;
        std::copy_n(text_.data() + at_, n, buffer.data());
        at_ += n;
        return static_cast<std::ptrdiff_t>(n);
    }

private:
    std::string text_;
    std::size_t chunk_;
    bool failAtEnd_;
    std::size_t at_ = 0;
};

// Opens and decodes the file at `path`, as the tools do.
Result<LoadResult> readFile(const std::string& path) {
    const UpdateFileReader::Opened opened =
        UpdateFileReader::open(path, UpdateFileReader::Kinds::RegularOnly);
    if (!opened)
        return fail(opened.error());
    return decodeOpenedFile(**opened);
}

// Decodes through a real file, as the tool does, and checks that every other
// way of feeding the same text agrees.
Decoded load(const std::string& text) {
    const std::string path = ::testing::TempDir() + "decoder_test.j4u";
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                             &std::fclose);
        std::fwrite(text.data(), 1, text.size(), file.get());
    }
    auto result = readFile(path);
    EXPECT_TRUE(result.has_value()) << result.error();
    for (std::size_t chunk : {1, 2, 3, 7}) {
        ChunkedText source(text, chunk);
        const LoadResult again = decodeUpdateFile(source);
        EXPECT_EQ(again.error, result->error) << "chunks of " << chunk;
        EXPECT_EQ(again.image, result->image) << "chunks of " << chunk;
        EXPECT_EQ(loadErrorText(again), loadErrorText(*result)) << "chunks of " << chunk;
    }
    std::vector<std::uint8_t> bytes = result->image;
    return {std::move(*result), std::move(bytes)};
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
    EXPECT_EQ(d.result.frames, 2u);
    EXPECT_EQ(d.bytes, (std::vector<std::uint8_t>{0, 3, 0xAA, 0xBB, 0xCC, 0, 1, 0xDD}));
    EXPECT_EQ(frameSizeAt(d.bytes, 0), 5u);
    EXPECT_EQ(frameSizeAt(d.bytes, 5), 3u);
}

TEST(Decoder, OnlyWhiteSpaceIsEmpty) {
    for (const char* text : {"", "   \r\n\t  \n", "\xEF\xBB\xBF", "\xEF\xBB\xBF  \r\n"}) {
        const Decoded d = load(text);
        EXPECT_EQ(d.result.error, LoadError::Empty) << '"' << text << '"';
        EXPECT_EQ(loadErrorText(d.result), "Update file is empty.");
    }
}

TEST(Decoder, AFileOfAnotherFormatIsNamedByItsFirstBadCharacter) {
    // Intel HEX, a comment, a binary file, UTF-16: none of them is empty.
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {":100000000102", "Update file is damaged: unexpected character ':' at line 1, column 1."},
        {"# comment\n00 01 02",
         "Update file is damaged: unexpected character '#' at line 1, column 1."},
        {std::string("00 01\r\n0\0", 9),
         "Update file is damaged: unexpected byte 0x00 at line 2, column 2."},
        {"\xFF\xFE"
         "0\0",
         "Update file is damaged: unexpected byte 0xFF at line 1, column 1."},
        {"\xEF\xBB"
         "00",
         "Update file is damaged: unexpected byte 0xEF at line 1, column 1."},
        {"00 01 AA \x7F", "Update file is damaged: unexpected byte 0x7F at line 1, column 10."},
        {"00 01 AA ~", "Update file is damaged: unexpected character '~' at line 1, column 10."},
    };
    for (const auto& c : cases) {
        const Decoded d = load(c.text);
        EXPECT_EQ(d.result.error, LoadError::UnexpectedCharacter) << c.message;
        EXPECT_EQ(loadErrorText(d.result), c.message);
        EXPECT_TRUE(d.bytes.empty());
    }
}

TEST(Decoder, DamagedTextNamesLineAndColumn) {
    struct Case {
        const char* text;
        std::uint64_t line;
        std::uint64_t column;
    };
    const Case cases[] = {
        {"01 02 G3 04", 1, 7},
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
}

TEST(Decoder, LineNumbersPastTwoBillionAreExact) {
    if (std::getenv("J4_SANITIZED") != nullptr) // ./test sets it for its sanitizer build
        GTEST_SKIP() << "2 GiB through an instrumented decoder takes too long";
    // 2^31 + 2 lines: a 32-bit counter would have gone negative.
    UpdateDecoder decoder;
    const std::vector<std::uint8_t> newlines(1 << 20, '\n');
    for (int i = 0; i < 2048; ++i)
        ASSERT_TRUE(decoder.feed(newlines));
    const std::uint8_t tail[] = {'\n', ' ', 'x'};
    decoder.feed(tail);
    const LoadResult result = decoder.finish();
    EXPECT_EQ(loadErrorText(result),
              "Update file is damaged: unexpected character 'x' at line 2147483650, column 2.");
}

TEST(Decoder, RefusesDataThatIsNotAWholeNumberOfFrames) {
    struct Case {
        const char* text;
        std::size_t offset;
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
    EXPECT_EQ(load(hexValues(kMaxImageBytes + 1) + "!").result.error, LoadError::TooManyValues);
    // A bad character before the limit is met first.
    EXPECT_EQ(load("00 01 AA !" + hexValues(kMaxImageBytes + 1)).result.error,
              LoadError::UnexpectedCharacter);
}

TEST(Decoder, ValueLimit) {
    const Decoded full = load(framesText(kMaxImageBytes));
    ASSERT_TRUE(full.result.ok()) << loadErrorText(full.result);
    EXPECT_EQ(full.bytes.size(), kMaxImageBytes);

    const Decoded packed = load(hexValues(kMaxImageBytes + 1, ""));
    EXPECT_EQ(packed.result.error, LoadError::TooManyValues);
    EXPECT_EQ(loadErrorText(packed.result), "Update file is too large: more than 262144 bytes.");

    // A lone digit as the 262,145th value counts too.
    const Decoded lone = load(framesText(kMaxImageBytes) + "7");
    EXPECT_EQ(lone.result.error, LoadError::TooManyValues);
    EXPECT_TRUE(lone.bytes.empty());
}

TEST(Decoder, LargeFilesAreRefusedUnreadOrNotReadToTheirEnd) {
    const std::string path = ::testing::TempDir() + "decoder_large.j4u";
    // Sparse: 64 MiB and one byte, refused by its size alone.
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                             &std::fclose);
    }
    std::filesystem::resize_file(path, kMaxUpdateFileBytes + 1);
    auto result = readFile(path);
    ASSERT_TRUE(result);
    EXPECT_EQ(loadErrorText(*result), "Update file is too large: more than 64 MiB.");

    // Under the size limit but over the value limit: reading stops early.
    ChunkedText values(hexValues(819200), 64 * 1024);
    EXPECT_EQ(decodeUpdateFile(values).error, LoadError::TooManyValues);
}

TEST(Decoder, ReadErrorIsNotTakenForEndOfFile) {
    ChunkedText failing("00 01 AA", 64, true);
    const LoadResult result = decodeUpdateFile(failing);
    EXPECT_EQ(result.error, LoadError::ReadFailed);
    EXPECT_EQ(loadErrorText(result), "Update file could not be read to its end.");
}

TEST(UpdateFileReader, PathsInAnyScriptOpen) {
    // UTF-8 in the program; the system's own wide paths where it has them.
    const std::filesystem::path folder =
        std::filesystem::path(::testing::TempDir()) /
        std::filesystem::path(u8"Firmware \u0424\u0430\u0439\u043b\u044b \u56fa\u4ef6");
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / std::filesystem::path(u8"\u00fcber.j4u");
    { std::ofstream(file, std::ios::binary) << "00 01 AA"; }
    const std::u8string utf8 = file.u8string();
    const auto loaded = readFile(std::string(utf8.begin(), utf8.end()));
    ASSERT_TRUE(loaded) << loaded.error();
    EXPECT_TRUE(loaded->ok());
    EXPECT_EQ(loaded->frames, 1u);
    std::filesystem::remove_all(folder);
}
