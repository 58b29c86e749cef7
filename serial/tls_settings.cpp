#include "tls_settings.h"

#include <QByteArray>

namespace j4 {

TlsSettings TlsSettings::fromEnvironment() {
    return {qgetenv("J4_TLS_CA").toStdString(), qgetenv("J4_TLS_CERT").toStdString(),
            qgetenv("J4_TLS_KEY").toStdString()};
}

} // namespace j4
