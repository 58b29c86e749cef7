#include "link_factory.h"

#include "port_names.h"
#include "remote_link_module.h"
#include "serial_platform.h"
#include "tty_link.h"

#include <QFile>

namespace j4 {

std::unique_ptr<SerialLink> makeLink(const std::string& device,
                                     std::chrono::milliseconds answerTimeout,
                                     const TlsSettings& tls) {
    // Any address with a scheme goes to the remote link, which says what is
    // wrong with a malformed one rather than looking for it under /dev.
    if (isRemoteAddress(device))
        return makeRemoteLink(answerTimeout, tls);
    return std::make_unique<TtyLink>(answerTimeout);
}

std::string deviceKey(const std::string& device) {
    if (isRemoteAddress(device))
        return device;
    return QFile::encodeName(platform::realDevice(device)).toStdString();
}

} // namespace j4
