#pragma once
// A serial port on another machine, served by a serial-over-network server
// (ser2net) with RFC 2217: rfc2217://HOST:PORT, or over TLS,
// rfc2217s://HOST:PORT. The telnet, RFC 2217 and TLS work (settings, purge,
// 0xFF escaping, the handshake) is gensio's, from ser2net's author.

#include "buffered_link.h"
#include "remote_failure.h"
#include "result.h"
#include "tls_settings.h"

#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace j4 {

struct CertificateCheck;
struct GensioConnection;
struct RemotePort;

class Rfc2217Link final : public BufferedLink {
public:
    Rfc2217Link(std::chrono::milliseconds answerTimeout, TlsSettings tls);
    ~Rfc2217Link() override;
    Rfc2217Link(const Rfc2217Link&) = delete;
    Rfc2217Link& operator=(const Rfc2217Link&) = delete;

    LinkError open(const std::string& device) override;
    void flushInput() override;
    LinkError write(std::span<const std::uint8_t> bytes) override;
    void close() override;
    std::string adapterNote() const override { return connection_ ? keyNote_ : std::string(); }

    // How long opening may wait for the server.
    static constexpr std::chrono::milliseconds kConnectTimeout{5000};
    // How long a server has to greet before it is taken for one that waits
    // for a TLS handshake: an RFC 2217 server sends its telnet options at once.
    static constexpr std::chrono::milliseconds kGreetingWait{300};

private:
    bool isOpen() const override { return connection_ != nullptr; }
    // The TLS files checked, and the authority's folder made, before any
    // connection: nothing may prompt, and nothing reaches gensio that it
    // cannot load.
    LinkError prepareTlsFiles();
    std::string stackFor(const RemotePort& remote) const;
    LinkError connect(GensioConnection& connection, const RemotePort& remote);
    // Whether the server sends before the client does (a plain RFC 2217
    // server); nothing is sent to it.
    Result<bool, LinkError> serverGreets(const RemotePort& remote);
    // Whether the server completes a TLS handshake (certificate unchecked,
    // nothing sent after it): what a failed plain connection may have met.
    bool serverSpeaksTls(const RemotePort& remote);
    // Opens a short-lived connection for one of those questions; nothing: not
    // open in time.
    std::optional<int> openProbe(GensioConnection& probe, const std::string& stack, bool* received,
                                 std::chrono::milliseconds timeout);
    LinkError refusedOverTls(const CertificateCheck& check, int gensioError);
    LinkError configure(GensioConnection& connection);
    // Keeps gensio's own text for the detail.
    LinkError failed(int gensioError);
    // A failure of a remote port's own, kept to tell what a failed
    // connection met.
    LinkError failRemotely(RemoteFailure failure);
    bool lastFailureWas(RemoteFailure failure) const { return lastFailure_ == failure; }
    LinkError receive(std::chrono::milliseconds wait) override;

    TlsSettings tls_;
    std::unique_ptr<QTemporaryDir> authorities_; // a bundle, split as OpenSSL looks it up
    std::string authorityPath_;
    std::string keyNote_;
    std::unique_ptr<GensioConnection> connection_;
    std::optional<RemoteFailure> lastFailure_;
};

} // namespace j4
