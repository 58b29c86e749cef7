#include "rfc2217_address.h"

#include <QRegularExpression>
#include <QUrl>

namespace j4 {

Result<RemotePort> parseRemotePort(const std::string& device) {
    const QUrl url(QString::fromStdString(device), QUrl::StrictMode);
    if (!url.isValid()) // Qt's reason, without the echo of the address after it
        return fail(url.errorString().section(QLatin1Char(';'), 0, 0).toStdString());
    const bool tls = url.scheme() == QLatin1String("rfc2217s");
    if (url.scheme() != QLatin1String("rfc2217") && !tls)
        return fail("it does not start with rfc2217:// or rfc2217s://");
    const QString host = url.host(QUrl::FullyDecoded);
    if (host.isEmpty())
        return fail("the host is missing");
    // The host goes into gensio's own comma-separated address: a name or an
    // address, nothing that could read as another field.
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    if (!host.contains(QLatin1Char(':')) && !name.match(host).hasMatch())
        return fail("'" + host.toStdString() + "' is not a host name or address");
    if (url.port() < 1)
        return fail(url.port() == 0 ? "the network port must be 1 to 65535"
                                    : "the network port is missing");
    if (!url.userInfo().isEmpty() || !(url.path().isEmpty() || url.path() == QLatin1String("/")) ||
        url.hasQuery() || url.hasFragment())
        return fail("only rfc2217://HOST:PORT is understood");
    return RemotePort{host.toStdString(), url.port(), tls};
}

std::string tcpAddress(const RemotePort& remote) {
    const std::string family = remote.host.find(':') != std::string::npos ? "ipv6," : "";
    return "tcp," + family + remote.host + "," + std::to_string(remote.port);
}

std::string gensioEscaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == ',' || c == '(' || c == ')' || c == '"' || c == '\'')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace j4
