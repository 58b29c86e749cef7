#include "view_server.h"

#include "errand_store.h"
#include "http_server.h"
#include "live_feed.h"
#include "plant_metrics.h"
#include "plant_store.h"
#include "tls_files.h"
#include "users_file.h"
#include "view_page.h"
#include "worker_thread.h"

#include <nlohmann/json.hpp>

#include <QByteArray>
#include <QThread>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace j4::plant {
namespace {

// Open pages are bounded, in all and for one address; past that a page is
// asked to come back (and does).
constexpr int kStreams = 500;
constexpr int kStreamsPerAddress = 8;
constexpr const char* kComeBackSeconds = "10";
// A unit's history or a hold waits this long at most on the database.
constexpr db::Bounds kErrandBounds{std::chrono::seconds(5), std::chrono::seconds(5)};

class StreamSeats {
public:
    bool take(const std::string& address) {
        const std::lock_guard lock(mutex_);
        const auto share = byAddress_.find(address);
        if (total_ >= kStreams ||
            (share != byAddress_.end() && share->second >= kStreamsPerAddress))
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

// Every answer, an error's too: nothing from elsewhere, no guessing of
// types, and never inside another site's frame.
HttpHeaders guardHeaders() {
    return {{"Content-Security-Policy",
             "default-src 'self'; script-src 'self'; style-src 'self'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Referrer-Policy", "no-referrer"}};
}

HttpReply json(int status, std::string text) {
    return typedReply(status, "application/json; charset=utf-8", std::move(text),
                      {{"Cache-Control", "no-store"}});
}

std::string errorJson(const std::string& text) {
    return nlohmann::json{{"error", text}}.dump(-1, ' ', false,
                                                nlohmann::json::error_handler_t::replace);
}

// The user a request signed in as, and their role; none: not signed in.
struct SignedIn {
    std::string name;
    Role role;
};
std::optional<SignedIn> signedIn(const HttpRequest& request, const UsersFile& users) {
    const std::string given = request.header("authorization");
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

class PlantPage {
public:
    PlantPage(const ServeOptions& options, const std::optional<UsersFile>& users,
              const LiveFeed& feed, const std::atomic<bool>& stop)
        : options_(options), users_(users), feed_(feed), stop_(stop) {}

    // Every request for a name it serves, and signed in where there are users.
    std::optional<HttpReply> admit(const HttpRequest& request) const {
        if (!servedName(options_.host, request.header("host")))
            return textReply(421, "Not served under that name.\n");
        if (!users_ || signedIn(request, *users_))
            return std::nullopt;
        return textReply(401, "Sign in.\n",
                         {{"WWW-Authenticate", "Basic realm=\"J4 plant\", charset=\"UTF-8\""}});
    }

    Handling handle(const HttpRequest& request) {
        const bool get = request.method == "GET" || request.method == "HEAD";
        if (get)
            for (const PageFile& file : pageFiles())
                if (request.path == file.path)
                    return {typedReply(200, file.type, file.text), {}};
        if (get && request.path == "/events")
            return {events(request), {}};
        if (get && request.path == "/metrics")
            return {typedReply(200, "text/plain; version=0.0.4; charset=utf-8",
                               plantMetrics(feed_.latest().json, feed_.trouble().empty()) +
                                   connectionMetrics(feed_.connections() + errandConnections()) +
                                   (users_ ? passwordMetrics(users_->hashesComputed()) : "")),
                    {}};
        if (get && request.path == "/api/me")
            return {visitor(request), {}};
        if (get && request.path == "/api/units")
            return units(request);
        if (request.method == "POST" && request.path.starts_with("/api/lines/"))
            return holds(request);
        return {textReply(404, "Nothing here.\n"), {}};
    }

private:
    // Each event the whole plant, as j4_live_view() has it.
    HttpReply events(const HttpRequest& request) {
        const std::string address = request.address;
        if (!seats_.take(address))
            return textReply(503, "Too many pages are open; this one tries again shortly.\n",
                             {{"Retry-After", kComeBackSeconds}});
        HttpReply reply = typedReply(200, "text/event-stream", {}, {{"Cache-Control", "no-store"}});
        reply.next = [this, version = std::uint64_t{0}]() mutable {
            const Snapshot now = feed_.latest();
            if (now.version <= version)
                return std::string();
            version = now.version;
            std::string text = now.json;
            std::replace(text.begin(), text.end(), '\n', ' ');
            return "data: " + text + "\n\n";
        };
        reply.ended = [this, address] { seats_.giveBack(address); };
        return reply;
    }

    // Who the visitor is, for the page: a Hold button only for who may hold.
    HttpReply visitor(const HttpRequest& request) const {
        const auto who = users_ ? signedIn(request, *users_) : std::nullopt;
        return json(200,
                    nlohmann::json{{"name", who ? nlohmann::json(who->name) : nlohmann::json()},
                                   {"may_hold", who && who->role == Role::Supervisor}}
                        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }

    // A unit's history, newest first, from the records' own view.
    Handling units(const HttpRequest& request) const {
        const std::string serial = request.param("serial");
        if (serial.empty())
            return {json(400, errorJson("name the unit: ?serial=SN")), {}};
        return {std::nullopt, [url = options_.records, &stop = stop_, serial] {
                    auto store = errandStore(url, stop, kErrandBounds);
                    auto history = store ? (*store)->unitHistory(serial, 500)
                                         : PlantResult<std::string>(fail(store.error()));
                    if (!history)
                        return json(503, errorJson(history.error().text));
                    return json(200, *history);
                }};
    }

    // Hold and resume, for a supervisor signed in; asked by the page itself
    // (its own header, which another site's form cannot send).
    Handling holds(const HttpRequest& request) const {
        const std::string rest = request.path.substr(std::string("/api/lines/").size());
        const auto slash = rest.find('/');
        const std::string line = rest.substr(0, slash);
        const std::string action = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (line.empty() || (action != "hold" && action != "resume"))
            return {textReply(404, "Nothing here.\n"), {}};
        const auto who = users_ ? signedIn(request, *users_) : std::nullopt;
        if (!who || who->role != Role::Supervisor)
            return {json(403, errorJson("only a supervisor signed in may do that")), {}};
        if (request.header("x-j4-request") != "1")
            return {json(403, errorJson("asked from elsewhere than the page")), {}};
        return {std::nullopt, [url = options_.records, &stop = stop_, line, action,
                               reason = request.body, name = who->name] {
                    auto store = errandStore(url, stop, kErrandBounds);
                    if (!store)
                        return json(503, errorJson(store.error().text));
                    if (action == "resume") {
                        const auto resumed = (*store)->resume(line);
                        return resumed ? json(200, "{}")
                                       : json(409, errorJson(resumed.error().text));
                    }
                    const auto held = (*store)->hold(
                        line, reason.empty() ? "held from the plant's page" : reason, name);
                    return held ? json(200, "{}") : json(409, errorJson(held.error().text));
                }};
    }

    const ServeOptions& options_;
    const std::optional<UsersFile>& users_;
    const LiveFeed& feed_;
    const std::atomic<bool>& stop_;
    StreamSeats seats_;
};

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
    std::optional<TlsPair> tls;
    if (!options.tlsCert.empty()) {
        auto read = readTlsFiles(options.tlsCert, options.tlsKey, std::chrono::system_clock::now());
        if (!read)
            return fail(read.error());
        tls = std::move(*read);
    }
    LiveFeed feed(options.records, options.told);
    PlantPage page(options, users, feed, stop);
    // Said to be serving only once its files were read and its port is its own.
    auto server = HttpServer::start(
        options.host, options.port, tls,
        {[&page](const HttpRequest& request) { return page.admit(request); },
         [&page](const HttpRequest& request) { return page.handle(request); }, guardHeaders()});
    if (!server)
        return fail(server.error());
    if (listening)
        listening();
    // Each new picture of the plant goes out to the open pages at once.
    std::uint64_t shown = 0;
    while (!stop) {
        const Snapshot now = feed.newerThan(shown, std::chrono::milliseconds(200));
        if (now.version > shown) {
            shown = now.version;
            (*server)->wake();
        }
    }
    return Done{};
}

} // namespace j4::plant
