#include "view_server.h"

#include "live_feed.h"
#include "plant_metrics.h"
#include "plant_store.h"
#include "users_file.h"
#include "view_page.h"
#include "worker_thread.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>

#include <QByteArray>
#include <QThread>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace j4::view {
namespace {

constexpr auto kKeepAlive = std::chrono::seconds(15);
constexpr std::size_t kLargestBody = 64 * 1024;
// Each open page holds one of the server's threads for as long as it is
// open: their number is bounded, in all and for one address, and the
// threads are more than that, so that the page, /metrics and a hold are
// answered while every seat is taken.
constexpr int kStreams = 24;
constexpr int kStreamsPerAddress = 4;
constexpr int kThreads = kStreams + 8;
constexpr const char* kComeBackSeconds = "10";

class StreamSeats {
public:
    bool take(const std::string& address) {
        const std::lock_guard lock(mutex_);
        if (total_ >= kStreams || byAddress_[address] >= kStreamsPerAddress)
            return false;
        ++total_;
        ++byAddress_[address];
        return true;
    }
    void giveBack(const std::string& address) {
        const std::lock_guard lock(mutex_);
        --total_;
        if (--byAddress_[address] == 0)
            byAddress_.erase(address);
    }

private:
    std::mutex mutex_;
    int total_ = 0;
    std::map<std::string, int> byAddress_;
};

bool loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The page's own files, compiled in; nothing from elsewhere.
void servePage(httplib::Server& server) {
    for (const PageFile& file : pageFiles())
        server.Get(file.path, [&file](const httplib::Request&, httplib::Response& response) {
            response.set_content(file.text, file.type);
        });
}

// Every answer, an error's too: nothing from elsewhere, no guessing of
// types, and never inside another site's frame.
void guardEveryAnswer(httplib::Server& server) {
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        response.set_header("Content-Security-Policy", "default-src 'self'; script-src 'self'; "
                                                       "style-src 'self'; frame-ancestors 'none'");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("X-Frame-Options", "DENY");
        response.set_header("Referrer-Policy", "no-referrer");
    });
}

// On loopback, only requests for the names it serves there: a site that
// rebinds its own name to 127.0.0.1 gets nothing.
bool servedName(const std::string& host, const std::string& given) {
    if (!loopback(host) || given.empty())
        return true;
    std::string name = given;
    if (const auto end = name.rfind(']'); name.starts_with('[') && end != std::string::npos)
        name = name.substr(1, end - 1);
    else if (const auto colon = name.rfind(':'); colon != std::string::npos)
        name = name.substr(0, colon);
    return loopback(name);
}

// One server on a port: without the library's SO_REUSEPORT a second one
// is refused instead of taking half of the browsers.
void oneServerPerPort(httplib::Server& server) {
    server.set_socket_options([](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

// Each event the whole plant, as j4_live_view() has it; a comment line now
// and then keeps proxies from closing a quiet stream.
void serveEvents(httplib::Server& server, const LiveFeed& feed, const std::atomic<bool>& stop,
                 StreamSeats& seats) {
    server.Get("/events", [&feed, &stop, &seats](const httplib::Request& request,
                                                 httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        const std::string address = request.remote_addr;
        if (!seats.take(address)) {
            response.status = 503;
            response.set_header("Retry-After", kComeBackSeconds);
            response.set_content("Too many pages are open; this one tries again shortly.\n",
                                 "text/plain; charset=utf-8");
            return;
        }
        response.set_chunked_content_provider(
            "text/event-stream",
            [&feed, &stop, version = std::uint64_t{0}](std::size_t,
                                                       httplib::DataSink& sink) mutable {
                if (stop)
                    return false;
                const Snapshot now = feed.newerThan(version, kKeepAlive);
                std::string text = ": still here\n\n";
                if (now.version > version) {
                    version = now.version;
                    std::string json = now.json;
                    std::replace(json.begin(), json.end(), '\n', ' ');
                    text = "data: " + json + "\n\n";
                }
                return sink.write(text.data(), text.size());
            },
            [&seats, address](bool) { seats.giveBack(address); });
    });
}

// For Prometheus (a viewer's login where the page needs one).
void serveMetrics(httplib::Server& server, const LiveFeed& feed) {
    server.Get("/metrics", [&feed](const httplib::Request&, httplib::Response& response) {
        response.set_content(plantMetrics(feed.latest().json, feed.trouble().empty()),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
}

// The user a request signed in as, and their role; none: not signed in.
struct SignedIn {
    std::string name;
    Role role;
};
std::optional<SignedIn> signedIn(const httplib::Request& request, const UsersFile& users) {
    const std::string given = request.get_header_value("Authorization");
    if (given.rfind("Basic ", 0) != 0)
        return std::nullopt;
    const QByteArray pair = QByteArray::fromBase64(QByteArray::fromStdString(given.substr(6)));
    const auto colon = pair.indexOf(':');
    if (colon <= 0)
        return std::nullopt;
    const std::string name = pair.left(colon).toStdString();
    const auto role = users.check(name, pair.mid(colon + 1).toStdString());
    if (!role)
        return std::nullopt;
    return SignedIn{name, *role};
}

void sayJson(httplib::Response& response, int status, const std::string& json) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(json, "application/json; charset=utf-8");
}

std::string errorJson(const std::string& text) {
    return nlohmann::json{{"error", text}}.dump(-1, ' ', false,
                                                nlohmann::json::error_handler_t::replace);
}

// A unit's history, newest first, from the records' own view.
void serveUnits(httplib::Server& server, const std::string& url, const std::atomic<bool>& stop) {
    server.Get(
        "/api/units", [&url, &stop](const httplib::Request& request, httplib::Response& response) {
            const std::string serial = request.get_param_value("serial");
            if (serial.empty())
                return sayJson(response, 400, errorJson("name the unit: ?serial=SN"));
            auto session = records::PqSession::open(url, &stop, {});
            if (!session)
                return sayJson(response, 503, errorJson(session.error()));
            const auto history = (*session)->run(
                "SELECT COALESCE(json_agg(h), '[]')::text FROM (SELECT unit, started, outcome, "
                "release_version, station, slot, operator, message FROM j4_unit_history "
                "WHERE unit = $1 LIMIT 500) h",
                {serial.c_str()});
            if (!history)
                return sayJson(response, 503, errorJson(history.error()));
            sayJson(response, 200, PQgetvalue(history->get(), 0, 0));
        });
}

// Who the visitor is, for the page: a Hold button only for who may hold.
void serveVisitor(httplib::Server& server, const std::optional<UsersFile>& users) {
    server.Get("/api/me", [&users](const httplib::Request& request, httplib::Response& response) {
        const auto who = users ? signedIn(request, *users) : std::nullopt;
        sayJson(response, 200,
                nlohmann::json{{"name", who ? nlohmann::json(who->name) : nlohmann::json()},
                               {"may_hold", who && who->role == Role::Supervisor}}
                    .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    });
}

// Hold and resume, for a supervisor signed in; asked by the page itself
// (its own header, which another site's form cannot send).
void serveHolds(httplib::Server& server, const std::string& url, const std::atomic<bool>& stop,
                const std::optional<UsersFile>& users) {
    server.Post(R"(/api/lines/([^/]+)/(hold|resume))", [&](const httplib::Request& request,
                                                           httplib::Response& response) {
        const auto who = users ? signedIn(request, *users) : std::nullopt;
        if (!who || who->role != Role::Supervisor)
            return sayJson(response, 403, errorJson("only a supervisor signed in may do that"));
        if (request.get_header_value("X-J4-Request") != "1")
            return sayJson(response, 403, errorJson("asked from elsewhere than the page"));
        const std::string line = request.matches[1];
        auto store = j4::plant::PlantStore::open(url, &stop);
        if (!store)
            return sayJson(response, 503, errorJson(store.error().text));
        if (request.matches[2] == "hold") {
            const std::string reason =
                request.body.empty() ? "held from the plant's page" : request.body;
            const auto held = store->hold(line, reason, who->name);
            return held ? sayJson(response, 200, "{}")
                        : sayJson(response, 409, errorJson(held.error().text));
        }
        const auto resumed = store->resume(line);
        sayJson(response, resumed ? 200 : 409, resumed ? "{}" : errorJson(resumed.error().text));
    });
}

} // namespace

Result<Done> checkServeOptions(const ServeOptions& options) {
    if (options.tlsCert.empty() != options.tlsKey.empty())
        return fail("--tls-cert and --tls-key go together");
    if (loopback(options.host))
        return Done{};
    if (options.tlsCert.empty())
        return fail("serving on " + options.host +
                    " needs TLS: --tls-cert FILE --tls-key FILE (or serve on 127.0.0.1)");
    if (options.usersFile.empty())
        return fail("serving on " + options.host + " needs a login: --users FILE");
    return Done{};
}

Result<Done> serve(const ServeOptions& options, const std::atomic<bool>& stop,
                   const std::function<void()>& listening) {
    if (auto usable = checkServeOptions(options); !usable)
        return usable;
    std::optional<UsersFile> users;
    if (!options.usersFile.empty()) {
        auto read = UsersFile::read(options.usersFile);
        if (!read)
            return fail(read.error());
        users = std::move(*read);
    }
    std::unique_ptr<httplib::Server> server =
        options.tlsCert.empty()
            ? std::make_unique<httplib::Server>()
            : std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
    if (!server->is_valid())
        return fail("the TLS certificate or key cannot be read");
    LiveFeed feed(options.records, options.told);
    // The library takes the pool it is given and deletes it itself.
    server->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    StreamSeats seats;
    guardEveryAnswer(*server);
    // The page's own requests are tiny: nothing larger is kept in memory.
    server->set_payload_max_length(kLargestBody);
    oneServerPerPort(*server);
    // Every request for a name it serves, and signed in where there are users.
    server->set_pre_routing_handler(
        [&users, &options](const httplib::Request& request, httplib::Response& response) {
            if (!servedName(options.host, request.get_header_value("Host"))) {
                response.status = 421;
                return httplib::Server::HandlerResponse::Handled;
            }
            if (!users || signedIn(request, *users))
                return httplib::Server::HandlerResponse::Unhandled;
            // Refused before its body is read: what is left of it must never
            // be read as the next request on this connection.
            if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding"))
                response.set_header("Connection", "close");
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"J4 plant\", charset=\"UTF-8\"");
            return httplib::Server::HandlerResponse::Handled;
        });
    servePage(*server);
    serveEvents(*server, feed, stop, seats);
    serveMetrics(*server, feed);
    serveUnits(*server, options.records, stop);
    serveHolds(*server, options.records, stop, users);
    serveVisitor(*server, users);
    // Said to be serving only once its files were read and its port is its own.
    if (!server->bind_to_port(options.host, options.port))
        return fail("cannot listen on " + options.host + ":" + std::to_string(options.port) +
                    ": the port is taken (another j4_plant serve?) or the address is not this "
                    "machine's");
    if (listening)
        listening();
    std::atomic<bool> ended{false};
    WorkerThread stopper([&] {
        while (!stop && !ended)
            QThread::msleep(100);
        server->stop();
    });
    server->listen_after_bind();
    ended = true;
    stopper.wait();
    return Done{};
}

} // namespace j4::view
