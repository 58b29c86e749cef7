#pragma once
// The failures only a remote port has: the serial server, its address, and
// TLS. A remote link reports them to the engine as LinkError::Specific, with
// the sentence here as its text.

#include <string>

namespace j4 {

enum class RemoteFailure {
    ServerNotFound,    // the host name is unknown
    ServerRefused,     // nothing listens at that address and port
    ServerUnreachable, // no answer to the connection attempt
    ServerLost,        // the connection broke
    AddressInvalid,    // the remote port's address cannot be used as written
    // Over TLS (rfc2217s://), refused before anything is sent:
    TlsUntrusted,         // the server's certificate is not from a trusted authority
    TlsWrongHost,         // the server's certificate is for another host
    TlsExpired,           // the server's certificate has expired
    TlsNotYetValid,       // the server's certificate is not valid yet
    TlsClientCertMissing, // the server asks for a client certificate; none was given
    TlsClientCertRefused, // the server did not accept the client certificate given
    TlsNotOffered,        // rfc2217s:// to a server without TLS
    TlsExpected,          // rfc2217:// to a server that speaks only TLS
    TlsFailed,            // the TLS handshake failed otherwise
};

// The operator's sentence for it.
std::string remoteFailureText(RemoteFailure failure);

// What a gensio error code (other than none or an interrupt) means for the
// connection: any it does not name is a connection lost.
RemoteFailure remoteFailureOf(int gensioError);

} // namespace j4
