#include "rfc2217_link.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include "gensio_connection.h"
#include "rfc2217_address.h"
#include "tls_certificate.h"
#include "tls_files.h"

#include <algorithm>
#include <functional>

namespace j4 {

namespace {

// Reads are cut into slices so a stop request is seen promptly.
constexpr std::chrono::milliseconds kSlice{100};

// Data that comes outside the synchronous reads (before they start) is not
// an answer to anything we sent; the flush discards it anyway.
int onEvent(gensio* io, void* data, int event, int error, unsigned char*, gensiods*,
            const char* const* auxdata) {
    if (event == GENSIO_EVENT_READ)
        return 0;
    if (event == GENSIO_EVENT_POSTCERT_VERIFY && data != nullptr)
        return checkCertificate(io, error, auxdata, *static_cast<CertificateCheck*>(data));
    return GE_NOTSUP;
}

// For the probes: notes whether anything arrived, and takes it.
int onProbeEvent(gensio*, void* data, int event, int, unsigned char*, gensiods* length,
                 const char* const*) {
    if (event != GENSIO_EVENT_READ)
        return GE_NOTSUP;
    if (length != nullptr && *length > 0)
        *static_cast<bool*>(data) = true;
    return 0;
}

} // namespace

Rfc2217Link::Rfc2217Link(std::chrono::milliseconds answerTimeout, TlsSettings tls)
    : tls_(std::move(tls)) {
    setAnswerTimeout(answerTimeout);
}

Rfc2217Link::~Rfc2217Link() {
    close();
}

LinkError Rfc2217Link::failed(int gensioError) {
    setErrorDetail(gensio_err_to_str(gensioError));
    if (gensioError == GE_NOERR)
        return LinkError::None;
    if (gensioError == GE_INTERRUPTED)
        return LinkError::Interrupted;
    return failRemotely(remoteFailureOf(gensioError));
}

LinkError Rfc2217Link::failRemotely(RemoteFailure failure) {
    lastFailure_ = failure;
    return failSpecifically(remoteFailureText(failure));
}

LinkError Rfc2217Link::open(const std::string& device) {
    close();
    setErrorDetail({});
    lastFailure_.reset();
    const auto remote = parseRemotePort(device);
    if (!remote) {
        setErrorDetail(remote.error());
        return failRemotely(RemoteFailure::AddressInvalid);
    }
    auto connection = std::make_unique<GensioConnection>();
    if (gensio_unix_funcs_alloc(nullptr, 0, &connection->os) != 0)
        return LinkError::IoError;
    connection->certificate.host = remote->host;
    LinkError error = connect(*connection, *remote);
    if (error == LinkError::None)
        error = configure(*connection);
    if (error == LinkError::None) {
        connection_ = std::move(connection);
        return LinkError::None;
    }
    const CertificateCheck certificate = connection->certificate;
    connection.reset();
    const bool lost =
        error == LinkError::Specific && (lastFailureWas(RemoteFailure::ServerLost) ||
                                         lastFailureWas(RemoteFailure::ServerUnreachable));
    // A TLS server that ends the connection once it has seen the client
    // wanted a client certificate it trusts. One that only stays silent is
    // a server that does not answer.
    if (lost && lastFailureWas(RemoteFailure::ServerLost) && remote->tls && certificate.passed)
        return refusedOverTls(certificate, GE_REMCLOSE);
    // A plain connection that a TLS server dropped.
    if (lost && !remote->tls && serverSpeaksTls(*remote)) {
        setErrorDetail("it answered a TLS handshake");
        return failRemotely(RemoteFailure::TlsExpected);
    }
    return error;
}

std::string Rfc2217Link::stackFor(const RemotePort& remote) const {
    std::string stack = "telnet(rfc2217),";
    if (remote.tls) {
        // The server's certificate is always verified: against the authority
        // given, else against the system's.
        stack += "ssl(mode=client,CA=" + gensioEscaped(authorityPath_);
        if (!tls_.certFile.empty())
            stack += ",cert=" + gensioEscaped(tls_.certFile) +
                     ",key=" + gensioEscaped(tls_.keyFile.empty() ? tls_.certFile : tls_.keyFile);
        stack += "),";
    }
    return stack + tcpAddress(remote);
}
LinkError Rfc2217Link::prepareTlsFiles() {
    const auto folder = tls_.caFile.empty() ? Result<std::string>(systemTrustStore())
                                            : authorityFolder(tls_.caFile, authorities_);
    if (!folder) {
        setErrorDetail(folder.error());
        return failRemotely(RemoteFailure::TlsFailed);
    }
    authorityPath_ = *folder;
    if (tls_.certFile.empty())
        return LinkError::None;
    const std::string key = tls_.keyFile.empty() ? tls_.certFile : tls_.keyFile;
    if (const auto usable = checkKey(key); !usable) {
        setErrorDetail(usable.error());
        return failRemotely(RemoteFailure::TlsFailed);
    }
    if (const std::string note = keyPermissionNote(key); !note.empty())
        keyNote_ = note;
    return LinkError::None;
}

LinkError Rfc2217Link::connect(GensioConnection& connection, const RemotePort& remote) {
    if (remote.tls) {
        if (const LinkError error = prepareTlsFiles(); error != LinkError::None)
            return error;
        // A server without TLS would take the client's handshake for data
        // and pass it to the device: it is recognised first by its greeting.
        const auto greets = serverGreets(remote);
        if (!greets)
            return greets.error();
        if (*greets) {
            setErrorDetail("it sent telnet options before any TLS handshake");
            return failRemotely(RemoteFailure::TlsNotOffered);
        }
    }
    const std::string stack = stackFor(remote);
    if (int error = str_to_gensio(stack.c_str(), connection.os, onEvent, &connection.certificate,
                                  &connection.io);
        error != 0) {
        connection.io = nullptr;
        if (!remote.tls)
            return failed(error);
        setErrorDetail(std::string("the TLS files: ") + gensio_err_to_str(error));
        return failRemotely(RemoteFailure::TlsFailed);
    }
    // Opened asynchronously so an unanswered connection attempt gives up.
    const auto opened = openAndWait(connection.os, connection.io, kConnectTimeout,
                                    [this] { return stopRequested(); });
    if (opened && *opened == 0)
        return LinkError::None;
    // Close what is still trying, then report why.
    connection.closeAndFree();
    if (opened)
        return remote.tls ? refusedOverTls(connection.certificate, *opened) : failed(*opened);
    return stopRequested() ? LinkError::Interrupted
                           : failRemotely(RemoteFailure::ServerUnreachable);
}

std::optional<int> Rfc2217Link::openProbe(GensioConnection& probe, const std::string& stack,
                                          bool* received, std::chrono::milliseconds timeout) {
    int failure = gensio_unix_funcs_alloc(nullptr, 0, &probe.os);
    if (failure == 0)
        failure = str_to_gensio(stack.c_str(), probe.os, onProbeEvent, received, &probe.io);
    if (failure != 0) {
        probe.io = nullptr;
        return failure;
    }
    return openAndWait(probe.os, probe.io, timeout, [this] { return stopRequested(); });
}

Result<bool, LinkError> Rfc2217Link::serverGreets(const RemotePort& remote) {
    GensioConnection probe;
    bool greeted = false;
    const auto opened = openProbe(probe, tcpAddress(remote), &greeted, kConnectTimeout);
    if (opened && *opened != 0)
        return Failure<LinkError>{failed(*opened)};
    if (!opened)
        return j4::fail(stopRequested() ? LinkError::Interrupted
                                        : failRemotely(RemoteFailure::ServerUnreachable));
    gensio_set_read_callback_enable(probe.io, true);
    runEventsUntil(probe.os, kGreetingWait, [&greeted] { return greeted; });
    return greeted;
}

bool Rfc2217Link::serverSpeaksTls(const RemotePort& remote) {
    GensioConnection probe;
    bool unused = false;
    // Only whether a handshake completes: the certificate is not the question.
    const auto opened = openProbe(probe, "ssl(mode=client,allow-authfail)," + tcpAddress(remote),
                                  &unused, std::chrono::seconds(2));
    return opened && *opened == 0;
}

LinkError Rfc2217Link::refusedOverTls(const CertificateCheck& check, int gensioError) {
    const auto refusal = tlsRefusal(check, gensioError, !tls_.certFile.empty());
    if (!refusal)
        return failed(gensioError);
    setErrorDetail(refusal->detail);
    return failRemotely(refusal->failure);
}

LinkError Rfc2217Link::configure(GensioConnection& connection) {
    // 115200 8N1, no flow control, asked of the server and confirmed by it. A
    // server that takes the connection but never answers the telnet options
    // (stopped, or not a telnet server) times out here: it does not answer.
    gensio_set_read_callback_enable(connection.io, true);
    if (int error = sergensio_b_alloc(gensio_to_sergensio(connection.io), connection.os,
                                      &connection.serial);
        error != 0)
        return failed(error);
    const auto setting = [&](int (*call)(sergensio_b*, int*), int wanted) {
        int value = wanted;
        if (const int error = call(connection.serial, &value); error != 0) {
            // gensio gives up on a peer that never takes up RFC 2217: a
            // server that is stopped, or is no serial server at all.
            if (error == GE_NOTSUP || error == GE_TIMEDOUT) {
                connection.abandoned = true;
                setErrorDetail("no answer to the RFC 2217 settings");
                return failRemotely(RemoteFailure::ServerUnreachable);
            }
            return failed(error);
        }
        return value == wanted ? LinkError::None : LinkError::SettingsRefused;
    };
    for (const auto& [call, wanted] :
         {std::pair{&sergensio_baud_b, 115200}, std::pair{&sergensio_datasize_b, 8},
          std::pair{&sergensio_parity_b, int(SERGENSIO_PARITY_NONE)},
          std::pair{&sergensio_stopbits_b, 1},
          std::pair{&sergensio_flowcontrol_b, int(SERGENSIO_FLOWCONTROL_NONE)}}) {
        if (const LinkError error = setting(call, wanted); error != LinkError::None)
            return error;
    }
    if (int error = gensio_set_sync(connection.io); error != 0)
        return failed(error);
    return LinkError::None;
}

void Rfc2217Link::flushInput() {
    if (!connection_)
        return;
    sergensio_flush(gensio_to_sergensio(connection_->io), SERGENSIO_FLUSH_RCV_BUFFER);
    // What the server had sent before it purged is still on its way here.
    clearReceived();
    while (receive(std::chrono::milliseconds{20}) == LinkError::None && !received().empty())
        clearReceived();
}

LinkError Rfc2217Link::write(std::span<const std::uint8_t> bytes) {
    if (!connection_)
        return LinkError::NotOpen;
    // In slices: a server that stops taking data holds the write no longer
    // than the answer time-out, and a stop request is seen.
    std::size_t sent = 0;
    auto deadline = std::chrono::steady_clock::now() + answerTimeout();
    while (sent < bytes.size()) {
        gensiods written = 0;
        gensio_time slice = toGensio(kSlice);
        const int error = gensio_write_s(connection_->io, &written, bytes.data() + sent,
                                         bytes.size() - sent, &slice);
        if (error != 0 && error != GE_TIMEDOUT)
            return failed(error);
        sent += written;
        const auto now = std::chrono::steady_clock::now();
        if (written > 0)
            deadline = now + answerTimeout();
        if (sent < bytes.size() && stopRequested())
            return LinkError::Interrupted;
        if (sent < bytes.size() && now >= deadline)
            return LinkError::WriteStalled;
    }
    frameWritten(bytes.size());
    return LinkError::None;
}

LinkError Rfc2217Link::receive(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        gensio_time timeout = toGensio(std::clamp(left, std::chrono::milliseconds{0}, kSlice));
        std::uint8_t chunk[256];
        gensiods got = 0;
        const int error = gensio_read_s(connection_->io, &got, chunk, sizeof chunk, &timeout);
        if (error != 0 && error != GE_TIMEDOUT)
            return failed(error);
        if (got > 0) {
            received().insert(received().end(), chunk, chunk + got);
            return LinkError::None;
        }
        if (stopRequested())
            return LinkError::Interrupted;
        if (left.count() <= 0)
            return LinkError::None;
    }
}

void Rfc2217Link::close() {
    connection_.reset();
    clearReceived();
}

} // namespace j4
