#include "remote_failure.h"

#include <gensio/gensio_err.h>

namespace j4 {

RemoteFailure remoteFailureOf(int gensioError) {
    switch (gensioError) {
    case GE_CONNREFUSE:
        return RemoteFailure::ServerRefused;
    case GE_NOTFOUND:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_ERROR:
    case GE_NAME_SERVER_FAILURE:
    case GE_NAME_INVALID:
    case GE_NAME_NET_NOT_UP:
        return RemoteFailure::ServerNotFound;
    case GE_TIMEDOUT:
    case GE_HOSTDOWN:
        return RemoteFailure::ServerUnreachable;
    default:
        return RemoteFailure::ServerLost;
    }
}

std::string remoteFailureText(RemoteFailure failure) {
    switch (failure) {
    case RemoteFailure::ServerNotFound:
        return "The serial server's host name is not known. Check the name in the port address.";
    case RemoteFailure::ServerRefused:
        return "The serial server refused the connection. Check that it runs and serves that "
               "network port.";
    case RemoteFailure::ServerUnreachable:
        return "The serial server does not answer. Check the network and the address.";
    case RemoteFailure::ServerLost:
        return "The connection to the serial server was lost.";
    case RemoteFailure::AddressInvalid:
        return "The remote port's address is not valid. Write it as rfc2217://HOST:PORT.";
    case RemoteFailure::TlsUntrusted:
        return "The serial server's certificate is not signed by a trusted authority. Give "
               "its authority with --tls-ca.";
    case RemoteFailure::TlsWrongHost:
        return "The serial server's certificate is for another host. Check the host in the "
               "port address.";
    case RemoteFailure::TlsExpired:
        return "The serial server's certificate has expired.";
    case RemoteFailure::TlsNotYetValid:
        return "The serial server's certificate is not valid yet. Check the date and time of "
               "this computer and of the server.";
    case RemoteFailure::TlsClientCertMissing:
        return "The serial server asks for a client certificate. Give one with --tls-cert "
               "and --tls-key.";
    case RemoteFailure::TlsClientCertRefused:
        return "The serial server did not accept the client certificate.";
    case RemoteFailure::TlsNotOffered:
        return "The serial server does not speak TLS. Write the port as rfc2217://HOST:PORT "
               "only if an unprotected connection is meant.";
    case RemoteFailure::TlsExpected:
        return "The serial server speaks only TLS. Write the port as rfc2217s://HOST:PORT.";
    case RemoteFailure::TlsFailed:
        return "The TLS connection to the serial server could not be set up.";
    }
    return "The connection to the serial server failed.";
}

} // namespace j4
