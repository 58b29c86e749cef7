#include "link_factory.h"

#include "port_names.h"
#include "qt_serial_link.h"
#include "serial_platform.h"
#if J4_WITH_RFC2217
#include "rfc2217_link.h"
#endif

#include <QFile>

namespace j4 {

std::unique_ptr<SerialLink> makeLink(const std::string& device,
                                     std::chrono::milliseconds answerTimeout) {
#if J4_WITH_RFC2217
    // Any address with a scheme goes to the remote link, which says what is
    // wrong with a malformed one rather than looking for it under /dev.
    if (isRemoteAddress(device))
        return std::make_unique<Rfc2217Link>(answerTimeout);
#endif
    return std::make_unique<QtSerialLink>(answerTimeout);
}

std::string deviceKey(const std::string& device) {
    if (isRemoteAddress(device))
        return device;
    return QFile::encodeName(platform::realDevice(device)).toStdString();
}

} // namespace j4
