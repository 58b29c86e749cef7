#pragma once
// A serial port on another machine, served by a serial-over-network server
// (ser2net) with RFC 2217: rfc2217://HOST:PORT. The telnet and RFC 2217 work
// (settings, purge, 0xFF escaping) is gensio's, from ser2net's author.

#include "buffered_link.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace j4 {

struct RemotePort {
    std::string host; // a name, an IPv4 address, or an IPv6 address without brackets
    int port = 0;
};
// "rfc2217://HOST:PORT" (any case, IPv6 in brackets) -> (HOST, PORT). Nothing
// for a malformed address, with what is wrong in *problem.
std::optional<RemotePort> parseRemotePort(const std::string& device,
                                          std::string* problem = nullptr);

class Rfc2217Link final : public BufferedLink {
public:
    explicit Rfc2217Link(std::chrono::milliseconds answerTimeout);
    ~Rfc2217Link() override;
    Rfc2217Link(const Rfc2217Link&) = delete;
    Rfc2217Link& operator=(const Rfc2217Link&) = delete;

    LinkError open(const std::string& device) override;
    void flushInput() override;
    LinkError write(std::span<const std::uint8_t> bytes) override;
    void close() override;

    // How long opening may wait for the server.
    static constexpr std::chrono::milliseconds kConnectTimeout{5000};

private:
    struct Connection;
    bool isOpen() const override { return connection_ != nullptr; }
    LinkError connect(Connection& connection, const RemotePort& remote);
    LinkError configure(Connection& connection);
    // Keeps gensio's own text for the detail.
    LinkError failed(int gensioError);
    LinkError receive(std::chrono::milliseconds wait) override;

    std::unique_ptr<Connection> connection_;
};

} // namespace j4
