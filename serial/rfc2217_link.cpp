#include "rfc2217_link.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include "tls_certificate.h"
#include "tls_files.h"

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <functional>

namespace j4 {

struct CertificateCheck {
    std::string host;
    bool passed = false; // trusted, valid, and for `host`
    int error = 0;       // gensio's verdict when it failed
    std::string reason;  // OpenSSL's, when it failed
    bool wrongHost = false;
};

namespace {

// Reads are cut into slices so a stop request is seen promptly.
constexpr std::chrono::milliseconds kSlice{100};

gensio_time toGensio(std::chrono::milliseconds ms) {
    return {static_cast<decltype(gensio_time::secs)>(ms.count() / 1000),
            static_cast<int>((ms.count() % 1000) * 1000000)};
}

LinkError fromGensio(int error) {
    switch (error) {
    case GE_NOERR:
        return LinkError::None;
    case GE_CONNREFUSE:
        return LinkError::ServerRefused;
    case GE_NOTFOUND:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_ERROR:
    case GE_NAME_SERVER_FAILURE:
    case GE_NAME_INVALID:
    case GE_NAME_NET_NOT_UP:
        return LinkError::ServerNotFound;
    case GE_TIMEDOUT:
    case GE_HOSTDOWN:
        return LinkError::ServerUnreachable;
    case GE_INTERRUPTED:
        return LinkError::Interrupted;
    default:
        return LinkError::ServerLost;
    }
}

// The server's certificate, as gensio's TLS layer verified it against the
// authority; its host name is checked here.
int checkCertificate(gensio* io, int error, const char* const* reasons, CertificateCheck& check) {
    if (error != 0) {
        check.error = error;
        check.reason = reasons != nullptr && reasons[0] != nullptr ? reasons[0] : "";
        return error;
    }
    std::string pem(16384, '\0');
    gensiods length = pem.size() - 1;
    if (gensio_control(io, GENSIO_CONTROL_DEPTH_FIRST, true, GENSIO_CONTROL_CERT, pem.data(),
                       &length) != 0 ||
        !certificateIsFor(pem.substr(0, std::min<std::size_t>(length, pem.size())), check.host)) {
        check.wrongHost = true;
        return GE_CERTINVALID;
    }
    check.passed = true;
    return 0;
}

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

// gensio's option values are separated by commas and parentheses: those in
// a file name are escaped.
std::string escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == ',' || c == '(' || c == ')' || c == '"' || c == '\'')
            out += '\\';
        out += c;
    }
    return out;
}

// Runs gensio's events until `done` or the time is up.
void runEventsUntil(gensio_os_funcs* os, std::chrono::milliseconds timeout,
                    const std::function<bool()>& done) {
    gensio_waiter* waiter = gensio_os_funcs_alloc_waiter(os);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        gensio_time slice = toGensio(std::chrono::milliseconds{20});
        gensio_os_funcs_wait(os, waiter, 1, &slice);
    }
    gensio_os_funcs_free_waiter(os, waiter);
}

void onOpened(gensio*, int error, void* data) {
    auto* result = static_cast<std::pair<int, bool>*>(data);
    result->first = error;
    result->second = true;
}

} // namespace

std::optional<RemotePort> parseRemotePort(const std::string& device, std::string* problem) {
    const auto refuse = [&](const std::string& why) -> std::optional<RemotePort> {
        if (problem != nullptr)
            *problem = why;
        return std::nullopt;
    };
    const QUrl url(QString::fromStdString(device), QUrl::StrictMode);
    if (!url.isValid()) // Qt's reason, without the echo of the address after it
        return refuse(url.errorString().section(QLatin1Char(';'), 0, 0).toStdString());
    const bool tls = url.scheme() == QLatin1String("rfc2217s");
    if (url.scheme() != QLatin1String("rfc2217") && !tls)
        return refuse("it does not start with rfc2217:// or rfc2217s://");
    const QString host = url.host(QUrl::FullyDecoded);
    if (host.isEmpty())
        return refuse("the host is missing");
    // The host goes into gensio's own comma-separated address: a name or an
    // address, nothing that could read as another field.
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    if (!host.contains(QLatin1Char(':')) && !name.match(host).hasMatch())
        return refuse("'" + host.toStdString() + "' is not a host name or address");
    if (url.port() < 1)
        return refuse(url.port() == 0 ? "the network port must be 1 to 65535"
                                      : "the network port is missing");
    if (!url.userInfo().isEmpty() || !(url.path().isEmpty() || url.path() == QLatin1String("/")) ||
        url.hasQuery() || url.hasFragment())
        return refuse("only rfc2217://HOST:PORT is understood");
    return RemotePort{host.toStdString(), url.port(), tls};
}

// One connection, with gensio's operating-system layer of its own: each link
// is used by one thread, which also runs gensio's events while it waits.
struct Rfc2217Link::Connection {
    gensio_os_funcs* os = nullptr;
    gensio* io = nullptr;
    sergensio_b* serial = nullptr;
    CertificateCheck certificate;

    ~Connection() {
        if (serial != nullptr && !abandoned)
            sergensio_b_free(serial);
        closeAndFree();
        if (os != nullptr && !abandoned)
            gensio_os_funcs_free(os);
    }

    // Closes the connection, also one still being opened, and frees it once
    // gensio is done with it: freed mid-close, its layers would be lost.
    void closeAndFree() {
        if (io == nullptr)
            return;
        // What the server still sends is of no interest: a server that
        // floods the line would keep the close from ever being handled.
        gensio_set_read_callback_enable(io, false);
        bool closed = false;
        const auto onClosed = [](gensio*, void* done) { *static_cast<bool*>(done) = true; };
        if (gensio_close(io, onClosed, &closed) == 0)
            runEventsUntil(os, std::chrono::seconds(2), [&closed] { return closed; });
        else
            closed = true; // not open, or closed already: nothing is under way
        if (!closed)
            abandoned = true; // freed mid-close, it would crash
        if (!abandoned)
            gensio_free(io);
        io = nullptr;
    }
    // A connection gensio cannot free safely (one that never finished its
    // close, or whose RFC 2217 settings were left unanswered while the server
    // flooded the line: gensio 2.6 crashes freeing those) is closed and left
    // to the process's end: a few kilobytes against a broken server.
    bool abandoned = false;
};

Rfc2217Link::Rfc2217Link(std::chrono::milliseconds answerTimeout, TlsSettings tls)
    : tls_(std::move(tls)) {
    setAnswerTimeout(answerTimeout);
}

Rfc2217Link::~Rfc2217Link() {
    close();
}

LinkError Rfc2217Link::failed(int gensioError) {
    setErrorDetail(gensio_err_to_str(gensioError));
    return fromGensio(gensioError);
}

LinkError Rfc2217Link::open(const std::string& device) {
    close();
    setErrorDetail({});
    std::string problem;
    const auto remote = parseRemotePort(device, &problem);
    if (!remote) {
        setErrorDetail(problem);
        return LinkError::AddressInvalid;
    }
    auto connection = std::make_unique<Connection>();
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
    const bool lost = error == LinkError::ServerLost || error == LinkError::ServerUnreachable;
    // A TLS server that ends the connection once it has seen the client
    // wanted a client certificate it trusts. One that only stays silent is
    // a server that does not answer.
    if (error == LinkError::ServerLost && remote->tls && certificate.passed)
        return tlsRefusal(certificate, GE_REMCLOSE);
    // A plain connection that a TLS server dropped.
    if (lost && !remote->tls && serverSpeaksTls(*remote)) {
        setErrorDetail("it answered a TLS handshake");
        return LinkError::TlsExpected;
    }
    return error;
}

std::string Rfc2217Link::stackFor(const RemotePort& remote) const {
    std::string stack = "telnet(rfc2217),";
    if (remote.tls) {
        // The server's certificate is always verified: against the authority
        // given, else against the system's.
        stack += "ssl(mode=client,CA=" + escaped(authorityPath_);
        if (!tls_.certFile.empty())
            stack += ",cert=" + escaped(tls_.certFile) +
                     ",key=" + escaped(tls_.keyFile.empty() ? tls_.certFile : tls_.keyFile);
        stack += "),";
    }
    return stack + tcpAddress(remote);
}

namespace {

// Opens `io` and runs its events until it is open, fails, the time is up or
// a stop is asked; then the result (nothing: not open in time).
std::optional<int> openAndWait(gensio_os_funcs* os, gensio* io, std::chrono::milliseconds timeout,
                               const std::function<bool()>& stopRequested) {
    std::pair<int, bool> opened{0, false};
    if (int error = gensio_open(io, onOpened, &opened); error != 0)
        return error;
    runEventsUntil(os, timeout, [&] { return opened.second || stopRequested(); });
    if (!opened.second)
        return std::nullopt;
    return opened.first;
}

} // namespace

std::string Rfc2217Link::tcpAddress(const RemotePort& remote) {
    const std::string family = remote.host.find(':') != std::string::npos ? "ipv6," : "";
    return "tcp," + family + remote.host + "," + std::to_string(remote.port);
}

LinkError Rfc2217Link::prepareTlsFiles() {
    std::string problem;
    const auto folder = tls_.caFile.empty() ? std::optional(systemTrustStore())
                                            : authorityFolder(tls_.caFile, authorities_, problem);
    if (!folder) {
        setErrorDetail(problem);
        return LinkError::TlsFailed;
    }
    authorityPath_ = *folder;
    if (tls_.certFile.empty())
        return LinkError::None;
    const std::string key = tls_.keyFile.empty() ? tls_.certFile : tls_.keyFile;
    if (problem = keyProblem(key); !problem.empty()) {
        setErrorDetail(problem);
        return LinkError::TlsFailed;
    }
    if (const std::string note = keyPermissionNote(key); !note.empty())
        keyNote_ = note;
    return LinkError::None;
}

LinkError Rfc2217Link::connect(Connection& connection, const RemotePort& remote) {
    if (remote.tls) {
        if (const LinkError error = prepareTlsFiles(); error != LinkError::None)
            return error;
        // A server without TLS would take the client's handshake for data
        // and pass it to the device: it is recognised first by its greeting.
        LinkError error = LinkError::None;
        const auto greets = serverGreets(remote, error);
        if (!greets)
            return error;
        if (*greets) {
            setErrorDetail("it sent telnet options before any TLS handshake");
            return LinkError::TlsNotOffered;
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
        return LinkError::TlsFailed;
    }
    // Opened asynchronously so an unanswered connection attempt gives up.
    const auto opened = openAndWait(connection.os, connection.io, kConnectTimeout,
                                    [this] { return stopRequested(); });
    if (opened && *opened == 0)
        return LinkError::None;
    // Close what is still trying, then report why.
    connection.closeAndFree();
    if (opened)
        return remote.tls ? tlsRefusal(connection.certificate, *opened) : failed(*opened);
    return stopRequested() ? LinkError::Interrupted : LinkError::ServerUnreachable;
}

std::optional<int> Rfc2217Link::openProbe(Connection& probe, const std::string& stack,
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

std::optional<bool> Rfc2217Link::serverGreets(const RemotePort& remote, LinkError& error) {
    Connection probe;
    bool greeted = false;
    const auto opened = openProbe(probe, tcpAddress(remote), &greeted, kConnectTimeout);
    if (!opened || *opened != 0) {
        error = opened ? failed(*opened)
                       : (stopRequested() ? LinkError::Interrupted : LinkError::ServerUnreachable);
        return std::nullopt;
    }
    gensio_set_read_callback_enable(probe.io, true);
    runEventsUntil(probe.os, kGreetingWait, [&greeted] { return greeted; });
    return greeted;
}

bool Rfc2217Link::serverSpeaksTls(const RemotePort& remote) {
    Connection probe;
    bool unused = false;
    // Only whether a handshake completes: the certificate is not the question.
    const auto opened = openProbe(probe, "ssl(mode=client,allow-authfail)," + tcpAddress(remote),
                                  &unused, std::chrono::seconds(2));
    return opened && *opened == 0;
}

LinkError Rfc2217Link::tlsRefusal(const CertificateCheck& check, int gensioError) {
    if (check.wrongHost) {
        setErrorDetail("its certificate does not name " + check.host);
        return LinkError::TlsWrongHost;
    }
    if (check.error != 0) {
        setErrorDetail(check.reason.empty() ? gensio_err_to_str(check.error) : check.reason);
        if (check.error == GE_CERTEXPIRED)
            return LinkError::TlsExpired;
        // gensio has no code of its own for it: OpenSSL's reason tells.
        if (check.reason.find("not yet valid") != std::string::npos)
            return LinkError::TlsNotYetValid;
        return LinkError::TlsUntrusted;
    }
    if (const LinkError plain = fromGensio(gensioError); plain != LinkError::ServerLost)
        return failed(gensioError); // refused, unknown host, no answer: not TLS's doing
    setErrorDetail(gensio_err_to_str(gensioError));
    // The server had shown a good certificate and then hung up: it judged
    // the client, whose certificate it asks for.
    if (check.passed)
        return tls_.certFile.empty() ? LinkError::TlsClientCertMissing
                                     : LinkError::TlsClientCertRefused;
    return LinkError::TlsFailed;
}

LinkError Rfc2217Link::configure(Connection& connection) {
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
                return LinkError::ServerUnreachable;
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
