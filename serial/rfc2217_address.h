#pragma once
// A remote port's address as the operator writes it, and as gensio takes it.

#include "result.h"

#include <string>

namespace j4 {

struct RemotePort {
    std::string host; // a name, an IPv4 address, or an IPv6 address without brackets
    int port = 0;
    bool tls = false; // rfc2217s://
};

// "rfc2217://HOST:PORT" or "rfc2217s://HOST:PORT" (any case, IPv6 in
// brackets) -> (HOST, PORT, TLS), or what is wrong with it.
Result<RemotePort> parseRemotePort(const std::string& device);

// gensio's TCP address for it: "tcp,[ipv6,]HOST,PORT".
std::string tcpAddress(const RemotePort& remote);

// A value for a gensio option: its commas and parentheses escaped.
std::string gensioEscaped(const std::string& value);

} // namespace j4
