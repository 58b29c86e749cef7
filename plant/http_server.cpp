#include "http_server.h"

#include "errand_pool.h"
#include "listening_socket.h"
#include "request_of.h"
#include "worker_thread.h"

#include <microhttpd.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>

namespace j4::plant {
namespace {

using Clock = std::chrono::steady_clock;

// A client has this long for its TLS handshake and a request's headers, and
// as long again for the body; between two requests on one connection, this
// long to start the next.
constexpr auto kHeaderTime = std::chrono::seconds(10);
constexpr auto kBodyTime = std::chrono::seconds(10);
constexpr auto kNextRequestTime = std::chrono::seconds(20);
// A request's line and headers must fit in half of this (about 16 KiB,
// counting every header); larger ones are answered 431 by the library.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// The page's own requests are tiny: a larger body is refused unread.
constexpr std::size_t kLargestBody = 64 * 1024;
constexpr unsigned kConnections = 900; // below the usual limit of 1024 files
constexpr unsigned kConnectionsPerAddress = 64;
constexpr unsigned kNetworkThreads = 2;
// A quiet stream says it is still there this often, for proxies.
constexpr auto kStreamKeepAlive = std::chrono::seconds(15);
constexpr const char* kComeBackSeconds = "10";

// One connection: its socket, and until when it may take to send what it
// is sending (none while it is being answered or streamed to).
struct Peer {
    int socket = -1;
    std::optional<Clock::time_point> deadline;
};

// One request on a connection, from its headers to its answer.
struct Exchange {
    HttpRequest request;
    bool handled = false;
    std::mutex mutex; // `ready` is written by an errand's thread
    std::optional<HttpReply> ready;
};

} // namespace

class HttpServer::Daemon {
public:
    explicit Daemon(HttpHandlers handlers) : handlers_(std::move(handlers)) {}

    Result<Done> start(int socket, const std::optional<TlsPair>& tls);
    void stop();
    void wake();

private:
    struct Stream {
        Daemon* daemon;
        MHD_Connection* connection;
        std::function<std::string()> next;
        std::function<void()> ended;
        std::string pending;
        Clock::time_point lastSent = Clock::now();
    };

    static MHD_Result onRequest(void* self, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char* upload,
                                size_t* uploadSize, void** context);
    static void onCompleted(void* self, MHD_Connection* connection, void** context,
                            MHD_RequestTerminationCode);
    static void onConnection(void* self, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode code);
    static ssize_t readStream(void* stream, uint64_t, char* buffer, size_t room);
    static void streamGone(void* stream);

    MHD_Result firstCall(MHD_Connection* connection, const char* url, const char* method,
                         void** context);
    MHD_Result answer(MHD_Connection* connection, Exchange& exchange);
    MHD_Result send(MHD_Connection* connection, HttpReply reply);
    void setDeadline(MHD_Connection* connection, std::optional<Clock::time_point> deadline);
    void sweep();

    HttpHandlers handlers_;
    MHD_Daemon* daemon_ = nullptr;
    std::atomic<bool> stopping_{false};
    ErrandPool errands_;

    std::mutex peersMutex_;
    std::set<Peer*> peers_;

    std::mutex streamsMutex_;
    std::vector<MHD_Connection*> suspended_;

    std::mutex sweepMutex_;
    std::condition_variable sweepWoken_;
    WorkerThread sweeper_;
};

Result<Done> HttpServer::Daemon::start(int socket, const std::optional<TlsPair>& tls) {
    // Forward-secret AEAD suites only, TLS 1.2 and 1.3.
    static const char* const kSuites =
        "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:"
        "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA:+ECDHE-ECDSA";
    MHD_OptionItem secure[] = {
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
         tls ? const_cast<char*>(tls->key.c_str()) : nullptr},
        {MHD_OPTION_HTTPS_MEM_CERT, 0, tls ? const_cast<char*>(tls->cert.c_str()) : nullptr},
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kSuites)},
        {MHD_OPTION_END, 0, nullptr},
    };
    const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO |
                           MHD_ALLOW_SUSPEND_RESUME | (tls ? MHD_USE_TLS : 0);
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Daemon::onRequest, this, MHD_OPTION_LISTEN_SOCKET, socket,
        MHD_OPTION_CONNECTION_LIMIT, kConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        kConnectionsPerAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_CONNECTION_TIMEOUT, unsigned(kNextRequestTime.count()),
        MHD_OPTION_THREAD_POOL_SIZE, kNetworkThreads, MHD_OPTION_NOTIFY_COMPLETED,
        &Daemon::onCompleted, this, MHD_OPTION_NOTIFY_CONNECTION, &Daemon::onConnection, this,
        MHD_OPTION_ARRAY, secure, MHD_OPTION_END);
    if (!daemon_) {
        close(socket);
        return fail(tls ? "the TLS certificate and key were read but cannot be served"
                        : "the page's server cannot start");
    }
    sweeper_ = WorkerThread([this] { sweep(); });
    return Done{};
}

void HttpServer::Daemon::stop() {
    if (!daemon_)
        return;
    stopping_ = true;
    sweepWoken_.notify_all();
    sweeper_.wait();
    // Nothing may stay suspended when the library stops: errands end first
    // (their database waits cut short by the same stop), then every stream
    // is woken to end.
    errands_.close();
    wake();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

void HttpServer::Daemon::wake() {
    const std::lock_guard lock(streamsMutex_);
    for (MHD_Connection* connection : suspended_)
        MHD_resume_connection(connection);
    suspended_.clear();
}

// Cuts the connections that took too long to send what they were sending,
// and wakes quiet streams now and then to say they are still there (and to
// find the pages that went).
void HttpServer::Daemon::sweep() {
    auto nextKeepAlive = Clock::now() + kStreamKeepAlive;
    std::unique_lock wait(sweepMutex_);
    while (!stopping_) {
        sweepWoken_.wait_for(wait, std::chrono::milliseconds(250));
        const auto now = Clock::now();
        {
            const std::lock_guard lock(peersMutex_);
            for (Peer* peer : peers_)
                if (peer->deadline && now > *peer->deadline) {
                    shutdown(peer->socket, SHUT_RDWR);
                    peer->deadline.reset();
                }
        }
        if (now >= nextKeepAlive) {
            nextKeepAlive = now + kStreamKeepAlive;
            wake();
        }
    }
}

void HttpServer::Daemon::onConnection(void* self, MHD_Connection* connection, void** socketContext,
                                      MHD_ConnectionNotificationCode code) {
    auto& daemon = *static_cast<Daemon*>(self);
    const std::lock_guard lock(daemon.peersMutex_);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        auto peer =
            std::make_unique<Peer>(Peer{info ? info->connect_fd : -1, Clock::now() + kHeaderTime});
        daemon.peers_.insert(peer.get());
        *socketContext = peer.release();
        return;
    }
    std::unique_ptr<Peer> peer(static_cast<Peer*>(*socketContext));
    daemon.peers_.erase(peer.get());
    *socketContext = nullptr;
}

void HttpServer::Daemon::setDeadline(MHD_Connection* connection,
                                     std::optional<Clock::time_point> deadline) {
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!info || !info->socket_context)
        return;
    const std::lock_guard lock(peersMutex_);
    static_cast<Peer*>(info->socket_context)->deadline = deadline;
}

void HttpServer::Daemon::onCompleted(void* self, MHD_Connection* connection, void** context,
                                     MHD_RequestTerminationCode) {
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    static_cast<Daemon*>(self)->setDeadline(connection, Clock::now() + kNextRequestTime);
}

MHD_Result HttpServer::Daemon::onRequest(void* self, MHD_Connection* connection, const char* url,
                                         const char* method, const char*, const char* upload,
                                         size_t* uploadSize, void** context) {
    auto& daemon = *static_cast<Daemon*>(self);
    if (!*context)
        return daemon.firstCall(connection, url, method, context);
    auto& exchange = *static_cast<Exchange*>(*context);
    if (*uploadSize > 0) {
        // Within what its Content-Length said, checked before any was read.
        exchange.request.body.append(upload, *uploadSize);
        *uploadSize = 0;
        return exchange.request.body.size() <= kLargestBody ? MHD_YES : MHD_NO;
    }
    return daemon.answer(connection, exchange);
}

// The headers are in: refused now (its body never read, and the connection
// closed after the answer so that it is never taken for a request), or
// given until the body's deadline.
MHD_Result HttpServer::Daemon::firstCall(MHD_Connection* connection, const char* url,
                                         const char* method, void** context) {
    auto exchange = std::make_unique<Exchange>();
    exchange->request = requestOf(connection, url, method);
    const HttpRequest& request = exchange->request;
    std::optional<HttpReply> refusal = handlers_.admit(request);
    if (!refusal && request.headers.contains("transfer-encoding"))
        refusal = textReply(411, "Send a Content-Length.\n");
    if (!refusal && request.hasBody()) {
        const std::string length = request.header("content-length");
        if (length.size() > 6 || std::stoul("0" + length) > kLargestBody)
            refusal = textReply(413, "The body is too large.\n");
    }
    setDeadline(connection, request.hasBody() && !refusal ? std::optional(Clock::now() + kBodyTime)
                                                          : std::nullopt);
    *context = exchange.release();
    if (refusal)
        return send(connection, std::move(*refusal));
    // Answered on the next call, once the library has the whole request: an
    // answer queued earlier closes the connection.
    return MHD_YES;
}

MHD_Result HttpServer::Daemon::answer(MHD_Connection* connection, Exchange& exchange) {
    setDeadline(connection, std::nullopt);
    {
        const std::lock_guard lock(exchange.mutex);
        if (exchange.ready)
            return send(connection, std::move(*exchange.ready));
    }
    if (exchange.handled) // an errand's, not back yet
        return MHD_YES;
    exchange.handled = true;
    Handling handling = handlers_.handle(exchange.request);
    if (handling.now)
        return send(connection, std::move(*handling.now));
    // Suspended until its errand is done; resumed by it.
    const bool taken = errands_.post(
        exchange.request.address,
        [connection, &exchange, errand = handling.errand] {
            HttpReply reply = errand();
            {
                const std::lock_guard lock(exchange.mutex);
                exchange.ready = std::move(reply);
            }
            MHD_resume_connection(connection);
        },
        [connection] { MHD_suspend_connection(connection); });
    if (taken)
        return MHD_YES;
    return send(connection,
                textReply(503, "Busy; try again shortly.\n", {{"Retry-After", kComeBackSeconds}}));
}

MHD_Result HttpServer::Daemon::send(MHD_Connection* connection, HttpReply reply) {
    MHD_Response* response = nullptr;
    if (reply.next) {
        auto stream = std::make_unique<Stream>(
            Stream{this, connection, std::move(reply.next), std::move(reply.ended), {}});
        response = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, 16 * 1024, &Daemon::readStream, stream.get(), &Daemon::streamGone);
        if (response)
            stream.release();
    } else {
        response = MHD_create_response_from_buffer(reply.body.size(), reply.body.data(),
                                                   MHD_RESPMEM_MUST_COPY);
    }
    if (!response)
        return MHD_NO;
    for (const auto& [name, value] : handlers_.everyAnswer)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    for (const auto& [name, value] : reply.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type.c_str());
    const MHD_Result queued = MHD_queue_response(connection, unsigned(reply.status), response);
    MHD_destroy_response(response);
    return queued;
}

// What is new for one stream, as much as fits; with nothing new, it is
// suspended until woken (no thread waits for it).
ssize_t HttpServer::Daemon::readStream(void* opened, uint64_t, char* buffer, size_t room) {
    auto& stream = *static_cast<Stream*>(opened);
    if (stream.pending.empty()) {
        Daemon& daemon = *stream.daemon;
        const std::lock_guard lock(daemon.streamsMutex_);
        if (daemon.stopping_)
            return MHD_CONTENT_READER_END_OF_STREAM;
        stream.pending = stream.next();
        if (stream.pending.empty() && Clock::now() - stream.lastSent >= kStreamKeepAlive)
            stream.pending = ": still here\n\n";
        if (stream.pending.empty()) {
            daemon.suspended_.push_back(stream.connection);
            MHD_suspend_connection(stream.connection);
            return 0;
        }
    }
    const std::size_t size = std::min(room, stream.pending.size());
    std::memcpy(buffer, stream.pending.data(), size);
    stream.pending.erase(0, size);
    stream.lastSent = Clock::now();
    return static_cast<ssize_t>(size);
}

void HttpServer::Daemon::streamGone(void* opened) {
    std::unique_ptr<Stream> stream(static_cast<Stream*>(opened));
    if (stream->ended)
        stream->ended();
}

Result<std::unique_ptr<HttpServer>> HttpServer::start(const std::string& host, int port,
                                                      const std::optional<TlsPair>& tls,
                                                      HttpHandlers handlers) {
    auto socket = listenOn(host, port);
    if (!socket)
        return fail(socket.error());
    auto daemon = std::make_unique<Daemon>(std::move(handlers));
    if (auto started = daemon->start(*socket, tls); !started)
        return fail(started.error());
    return std::make_unique<HttpServer>(std::move(daemon));
}

HttpServer::HttpServer(std::unique_ptr<Daemon> daemon) : daemon_(std::move(daemon)) {}

HttpServer::~HttpServer() {
    daemon_->stop();
}

void HttpServer::wake() {
    daemon_->wake();
}

} // namespace j4::plant
