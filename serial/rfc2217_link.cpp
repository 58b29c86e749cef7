#include "rfc2217_link.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace j4 {
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

// Data that comes outside the synchronous reads (before they start) is not
// an answer to anything we sent; the flush discards it anyway.
int onEvent(gensio*, void*, int event, int, unsigned char*, gensiods* length, const char* const*) {
    if (event == GENSIO_EVENT_READ)
        return 0;
    (void)length;
    return GE_NOTSUP;
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
    if (url.scheme() != QLatin1String("rfc2217"))
        return refuse("it does not start with rfc2217://");
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
    return RemotePort{host.toStdString(), url.port()};
}

// One connection, with gensio's operating-system layer of its own: each link
// is used by one thread, which also runs gensio's events while it waits.
struct Rfc2217Link::Connection {
    gensio_os_funcs* os = nullptr;
    gensio* io = nullptr;
    sergensio_b* serial = nullptr;

    ~Connection() {
        if (serial != nullptr)
            sergensio_b_free(serial);
        closeAndFree();
        if (os != nullptr)
            gensio_os_funcs_free(os);
    }

    // Closes the connection, also one still being opened, and frees it once
    // gensio is done with it: freed mid-close, its layers would be lost.
    void closeAndFree() {
        if (io == nullptr)
            return;
        bool closed = false;
        const auto onClosed = [](gensio*, void* done) { *static_cast<bool*>(done) = true; };
        if (gensio_close(io, onClosed, &closed) == 0) {
            gensio_waiter* waiter = gensio_os_funcs_alloc_waiter(os);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!closed && std::chrono::steady_clock::now() < deadline) {
                gensio_time slice = toGensio(kSlice);
                gensio_os_funcs_wait(os, waiter, 1, &slice);
            }
            gensio_os_funcs_free_waiter(os, waiter);
        }
        gensio_free(io);
        io = nullptr;
    }
};

Rfc2217Link::Rfc2217Link(std::chrono::milliseconds answerTimeout) {
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
    if (const LinkError error = connect(*connection, *remote); error != LinkError::None)
        return error;
    if (const LinkError error = configure(*connection); error != LinkError::None)
        return error;
    connection_ = std::move(connection);
    return LinkError::None;
}

LinkError Rfc2217Link::connect(Connection& connection, const RemotePort& remote) {
    const std::string family = remote.host.find(':') != std::string::npos ? "ipv6," : "";
    const std::string stack =
        "telnet(rfc2217),tcp," + family + remote.host + "," + std::to_string(remote.port);
    if (int error = str_to_gensio(stack.c_str(), connection.os, onEvent, nullptr, &connection.io);
        error != 0) {
        connection.io = nullptr;
        return failed(error);
    }
    // Opened asynchronously so an unanswered connection attempt gives up.
    std::pair<int, bool> opened{0, false};
    if (int error = gensio_open(connection.io, onOpened, &opened); error != 0)
        return failed(error);
    gensio_waiter* waiter = gensio_os_funcs_alloc_waiter(connection.os);
    const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    while (!opened.second && std::chrono::steady_clock::now() < deadline && !stopRequested()) {
        gensio_time slice = toGensio(kSlice);
        gensio_os_funcs_wait(connection.os, waiter, 1, &slice);
    }
    gensio_os_funcs_free_waiter(connection.os, waiter);
    if (opened.second && opened.first == 0)
        return LinkError::None;
    // Close what is still trying, then report why.
    connection.closeAndFree();
    if (opened.second)
        return failed(opened.first);
    return stopRequested() ? LinkError::Interrupted : LinkError::ServerUnreachable;
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
