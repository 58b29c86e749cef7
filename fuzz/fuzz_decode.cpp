// The decoder against a deliberately naive reference, in memory and through
// the file-reading path fed in chunks of fuzzer-chosen sizes. Both must agree
// on every input: the same refusal with the same position, or the same image.

#include "reference_decoder.h"
#include "update_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

// Hands out the text in chunks whose sizes come from the input's first bytes.
class ChunkedSource final : public j4::ByteSource {
public:
    ChunkedSource(std::span<const std::uint8_t> text, std::span<const std::uint8_t> sizes)
        : text_(text), sizes_(sizes) {}
    std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
        std::size_t want = sizes_.empty() ? buffer.size() : sizes_[next_++ % sizes_.size()] + 1u;
        want = std::min({want, buffer.size(), text_.size() - at_});
        std::copy_n(text_.data() + at_, want, buffer.data());
        at_ += want;
        return static_cast<std::ptrdiff_t>(want);
    }

private:
    std::span<const std::uint8_t> text_;
    std::span<const std::uint8_t> sizes_;
    std::size_t at_ = 0;
    std::size_t next_ = 0;
};

void agree(const j4::LoadResult& real, const reference::Result& expected) {
    if (real.error != expected.error || real.image != expected.image)
        std::abort();
    if (real.error == j4::LoadError::UnexpectedCharacter &&
        (real.line != expected.line || real.column != expected.column ||
         real.character != expected.character))
        std::abort();
    if (real.error == j4::LoadError::IncompleteFrame && real.offset != expected.offset)
        std::abort();
    if (real.ok() && real.frames != expected.frames)
        std::abort();
    if (!real.ok() && (!real.image.empty() || j4::loadErrorText(real).empty()))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // First byte: how many of the following bytes give chunk sizes.
    const std::size_t sizeCount = size == 0 ? 0 : std::min<std::size_t>(data[0] % 8, size - 1);
    const std::span<const std::uint8_t> sizes(data + (size == 0 ? 0 : 1), sizeCount);
    const std::span<const std::uint8_t> text(data + (size == 0 ? 0 : 1 + sizeCount),
                                             size == 0 ? 0 : size - 1 - sizeCount);

    const reference::Result expected = reference::decode(text);
    agree(j4::decodeUpdateText({reinterpret_cast<const char*>(text.data()), text.size()}),
          expected);
    ChunkedSource source(text, sizes);
    agree(j4::decodeUpdateFile(source), expected);
    return 0;
}
