// The module's one entry point.

#include "module_entry.h"
#include "remote_link_module.h"
#include "rfc2217_link.h"

namespace {

std::unique_ptr<j4::SerialLink> makeLink(std::chrono::milliseconds answerTimeout,
                                         const j4::TlsSettings& tls) {
    return std::make_unique<j4::Rfc2217Link>(answerTimeout, tls);
}

} // namespace

J4_MODULE_ENTRY const j4::RemoteLinkModule* j4RemoteLinkModule() {
    static const j4::RemoteLinkModule module{&makeLink};
    return &module;
}
