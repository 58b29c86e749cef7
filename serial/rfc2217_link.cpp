#include "rfc2217_link.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include <algorithm>
#include <charconv>

namespace j4 {
namespace {

constexpr std::string_view kScheme = "rfc2217://";
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

std::optional<RemotePort> parseRemotePort(const std::string& device) {
    if (device.rfind(kScheme, 0) != 0)
        return std::nullopt;
    const std::string rest = device.substr(kScheme.size());
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    RemotePort remote{rest.substr(0, colon), 0};
    const char* first = rest.data() + colon + 1;
    const char* last = rest.data() + rest.size();
    const auto [end, error] = std::from_chars(first, last, remote.port);
    if (error != std::errc() || end != last || remote.port <= 0 || remote.port > 65535)
        return std::nullopt;
    return remote;
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
        if (io != nullptr) {
            gensio_close_s(io);
            gensio_free(io);
        }
        if (os != nullptr)
            gensio_os_funcs_free(os);
    }
};

Rfc2217Link::Rfc2217Link() = default;

Rfc2217Link::Rfc2217Link(std::chrono::milliseconds answerTimeout) {
    setAnswerTimeout(answerTimeout);
}

Rfc2217Link::~Rfc2217Link() {
    close();
}

LinkError Rfc2217Link::open(const std::string& device) {
    close();
    const auto remote = parseRemotePort(device);
    if (!remote)
        return LinkError::PortNotFound;
    auto connection = std::make_unique<Connection>();
    if (gensio_unix_funcs_alloc(nullptr, 0, &connection->os) != 0)
        return LinkError::IoError;
    const std::string stack =
        "telnet(rfc2217),tcp," + remote->host + "," + std::to_string(remote->port);
    if (int error = str_to_gensio(stack.c_str(), connection->os, onEvent, nullptr, &connection->io);
        error != 0) {
        connection->io = nullptr;
        return fromGensio(error);
    }
    // Opened asynchronously so an unanswered connection attempt gives up.
    std::pair<int, bool> opened{0, false};
    if (int error = gensio_open(connection->io, onOpened, &opened); error != 0)
        return fromGensio(error);
    gensio_waiter* waiter = gensio_os_funcs_alloc_waiter(connection->os);
    const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    while (!opened.second && std::chrono::steady_clock::now() < deadline && !stopRequested()) {
        gensio_time slice = toGensio(kSlice);
        gensio_os_funcs_wait(connection->os, waiter, 1, &slice);
    }
    gensio_os_funcs_free_waiter(connection->os, waiter);
    if (!opened.second) {
        // Close what is still trying, then report why.
        const LinkError why =
            stopRequested() ? LinkError::Interrupted : LinkError::ServerUnreachable;
        gensio_free(connection->io);
        connection->io = nullptr;
        return why;
    }
    if (opened.first != 0) {
        gensio_free(connection->io);
        connection->io = nullptr;
        return fromGensio(opened.first);
    }
    // 115200 8N1, no flow control, asked of the server and confirmed by it.
    gensio_set_read_callback_enable(connection->io, true);
    if (sergensio_b_alloc(gensio_to_sergensio(connection->io), connection->os,
                          &connection->serial) != 0)
        return LinkError::SettingsRefused;
    int baud = 115200, bits = 8, parity = SERGENSIO_PARITY_NONE, stop = 1,
        flow = SERGENSIO_FLOWCONTROL_NONE;
    const bool configured = sergensio_baud_b(connection->serial, &baud) == 0 && baud == 115200 &&
                            sergensio_datasize_b(connection->serial, &bits) == 0 && bits == 8 &&
                            sergensio_parity_b(connection->serial, &parity) == 0 &&
                            parity == static_cast<int>(SERGENSIO_PARITY_NONE) &&
                            sergensio_stopbits_b(connection->serial, &stop) == 0 && stop == 1 &&
                            sergensio_flowcontrol_b(connection->serial, &flow) == 0 &&
                            flow == static_cast<int>(SERGENSIO_FLOWCONTROL_NONE);
    if (!configured)
        return LinkError::SettingsRefused;
    if (gensio_set_sync(connection->io) != 0)
        return LinkError::IoError;
    connection_ = std::move(connection);
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
    gensiods written = 0;
    const int error =
        gensio_write_s(connection_->io, &written, bytes.data(), bytes.size(), nullptr);
    if (error != 0)
        return fromGensio(error);
    return written == bytes.size() ? LinkError::None : LinkError::ServerLost;
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
            return fromGensio(error);
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
