#include "remote_link_module.h"

#include "optional_module.h"

#include <string>

namespace j4 {
namespace {

// Stands for a remote port when the module cannot be loaded: opening it says
// why, as any other failure to reach a port is said.
class UnavailableRemoteLink final : public SerialLink {
public:
    UnavailableRemoteLink(std::chrono::milliseconds answerTimeout, std::string why)
        : why_(std::move(why)) {
        setAnswerTimeout(answerTimeout);
    }
    LinkError open(const std::string&) override {
        setErrorDetail(why_);
        return failSpecifically("Remote ports cannot be used here: the module for them cannot "
                                "be loaded. Install the j4-flash-remote package.");
    }
    void flushInput() override {}
    LinkError write(std::span<const std::uint8_t>) override { return LinkError::NotOpen; }
    ByteRead readByte() override { return {LinkError::NotOpen}; }
    WaitingBytes bytesWaiting(std::chrono::milliseconds) override { return {LinkError::NotOpen}; }
    void close() override {}

private:
    std::string why_;
};

// The module, loaded once; why not, when it cannot be.
struct Loaded {
    const RemoteLinkModule* module = nullptr;
    std::string why;
};

const Loaded& loaded() {
    static const Loaded once = []() -> Loaded {
        using Entry = const RemoteLinkModule* (*)();
        const auto entry =
            moduleEntry({J4_REMOTE_MODULE_BUILT, J4_REMOTE_MODULE_INSTALLED}, "j4RemoteLinkModule");
        if (!entry)
            return {nullptr, entry.error()};
        return {reinterpret_cast<Entry>(*entry)(), {}};
    }();
    return once;
}

} // namespace

std::unique_ptr<SerialLink> makeRemoteLink(std::chrono::milliseconds answerTimeout,
                                           const TlsSettings& tls) {
    const Loaded& remote = loaded();
    if (remote.module == nullptr)
        return std::make_unique<UnavailableRemoteLink>(answerTimeout, remote.why);
    return remote.module->makeLink(answerTimeout, tls);
}

} // namespace j4
