// Decoding and validating a maximum-size update file, against a plain
// fscanf("%2X") loop over the same file as the baseline.

#include "update_session.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kValues = static_cast<int>(j4::kMaxImageBytes);
std::vector<std::uint8_t> baselineImage(j4::kMaxImageBytes);

// Whole frames, FRAME_IMAGE_CAPACITY values in all.
std::string makeText(bool spaced) {
    std::string text;
    text.reserve(j4::kMaxImageBytes * 3 + j4::kMaxImageBytes / 8);
    static const char digits[] = "0123456789ABCDEF";
    unsigned seed = 12345;
    for (int i = 0; i < kValues; ++i) {
        // Frames of 1,024 bytes on the wire: length 0x03FE, then content.
        const int inFrame = i % 1024;
        int value = static_cast<int>((seed = seed * 1103515245u + 12345u) >> 16) & 0xFF;
        if (inFrame == 0)
            value = 0x03;
        else if (inFrame == 1)
            value = 0xFE;
        text += digits[value >> 4];
        text += digits[value & 15];
        if (spaced)
            text += (i % 16 == 15) ? "\r\n" : " ";
    }
    return text;
}

struct Fixture {
    std::string path;
    explicit Fixture(bool spaced) {
        char name[] = "/tmp/j4_bench_XXXXXX";
        const int fd = mkstemp(name);
        path = name;
        const std::string text = makeText(spaced);
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::abort();
        close(fd);
    }
    ~Fixture() { std::remove(path.c_str()); }
};

const Fixture& fixture(bool spaced) {
    static const Fixture spacedFile(true);
    static const Fixture packedFile(false);
    return spaced ? spacedFile : packedFile;
}

void BM_Decode(benchmark::State& state) {
    const std::string& path = fixture(state.range(0) != 0).path;
    for (auto _ : state) {
        // Opening is part of the work: the tool opens the file for every attempt.
        const auto result = j4::prepareUpdateFile(path, j4::UpdateFileReader::Kinds::RegularOnly);
        if (!result.ok() || result.decoded->image.size() != j4::kMaxImageBytes)
            state.SkipWithError("decoding failed");
        else
            benchmark::DoNotOptimize(result.decoded->image.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kValues);
}

void BM_FscanfBaseline(benchmark::State& state) {
    std::FILE* file = std::fopen(fixture(state.range(0) != 0).path.c_str(), "rb");
    for (auto _ : state) {
        std::rewind(file);
        std::size_t count = 0;
        unsigned int value;
        while (std::fscanf(file, "%2X", &value) == 1 && count < j4::kMaxImageBytes)
            baselineImage[count++] = static_cast<std::uint8_t>(value);
        benchmark::DoNotOptimize(baselineImage.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kValues);
    std::fclose(file);
}

} // namespace

// Argument: 1 = "XX XX ..." with CRLF every 16 values, 0 = packed digits.
BENCHMARK(BM_Decode)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FscanfBaseline)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
