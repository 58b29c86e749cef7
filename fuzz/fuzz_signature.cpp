// minisign's key and signature parsers on arbitrary text: malformed base64,
// short blobs, missing lines, huge comments. Whatever parses is verified
// against a hash, so libgcrypt sees keys and signatures nobody made.

#include "minisign.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace j4::release::minisign;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte splits the rest into a key's text and a signature's.
    const std::size_t split = 1 + (size - 1) * data[0] / 256;
    const std::string_view keyText(reinterpret_cast<const char*>(data + 1), split - 1);
    const std::string_view signatureText(reinterpret_cast<const char*>(data + split), size - split);
    const auto key = parsePublicKey(keyText);
    const auto signature = parseSignature(signatureText);
    if (key)
        (void)keyIdText(key->id);
    if (key && signature) {
        FileHash hash;
        hash.update({data, size});
        const auto digest = hash.digest();
        const Verdict verdict = verify(*key, *signature, digest);
        // A signature nobody made for this input cannot hold.
        if (verdict.fileSigned && size > 200)
            __builtin_trap();
    }
    return 0;
}
