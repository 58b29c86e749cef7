#include "link_factory.h"

#include "qt_serial_link.h"
#include "serial_platform.h"
#if J4_WITH_RFC2217
#include "rfc2217_link.h"
#endif

#include <QFileInfo>

namespace j4 {

std::unique_ptr<SerialLink> makeLink(const std::string& device,
                                     std::chrono::milliseconds answerTimeout) {
#if J4_WITH_RFC2217
    if (parseRemotePort(device))
        return std::make_unique<Rfc2217Link>(answerTimeout);
#endif
    return std::make_unique<QtSerialLink>(answerTimeout);
}

std::string deviceKey(const std::string& device) {
    if (device.rfind("rfc2217://", 0) == 0)
        return device;
    const QString location = platform::systemLocation(QString::fromStdString(device));
    const QString canonical = QFileInfo(location).canonicalFilePath();
    return (canonical.isEmpty() ? location : canonical).toStdString();
}

} // namespace j4
