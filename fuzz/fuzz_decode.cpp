// Decoding and validation of arbitrary update-file text. Beyond the
// sanitizers' checks: the image never exceeds its capacity, a refused file
// leaves it empty, and an accepted image walks frame by frame to exactly its
// end when every frame is accepted.

#include "transfer.h"
#include "update_file.h"

#include <cstdint>
#include <cstdlib>

namespace {

class AcceptingLink : public j4::SerialLink {
public:
    std::int64_t written = 0;
    int open(int) override { return 0; }
    void flushInput() override {}
    int write(std::span<const std::uint8_t> bytes) override {
        written += static_cast<std::int64_t>(bytes.size());
        return static_cast<int>(bytes.size());
    }
    int readByte() override { return j4::ACK_BYTE; }
    void close() override {}
    std::string errorText(int) const override { return {}; }
};

j4::FrameImage image;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const j4::LoadResult result =
        j4::decodeUpdateText({reinterpret_cast<const char*>(data), size}, image);
    if (image.bufferSize < 0 || image.bufferSize > j4::FRAME_IMAGE_CAPACITY)
        std::abort();
    if (!result.ok()) {
        if (image.bufferSize != 0 || j4::loadErrorText(result).empty())
            std::abort();
        return 0;
    }
    if (image.bufferSize == 0 || result.frames <= 0)
        std::abort();
    AcceptingLink link;
    j4::TransferCounters counters;
    const j4::TransferOutcome outcome = j4::runTransfer(image, link, counters, {});
    if (!outcome.completed() || counters.index != image.bufferSize ||
        counters.bytesSent != image.bufferSize || link.written != image.bufferSize ||
        counters.framesAccepted != result.frames)
        std::abort();
    return 0;
}
