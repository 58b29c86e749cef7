#include "view_server.h"

#include "live_feed.h"
#include "plant_store.h"
#include "users_file.h"
#include "view_page.h"
#include "worker_thread.h"

#include <httplib.h>

#include <QByteArray>
#include <QThread>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

namespace j4::view {
namespace {

constexpr auto kKeepAlive = std::chrono::seconds(15);

bool loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The page's own files, compiled in; nothing from elsewhere.
void servePage(httplib::Server& server) {
    for (const PageFile& file : pageFiles())
        server.Get(file.path, [&file](const httplib::Request&, httplib::Response& response) {
            response.set_content(file.text, file.type);
            response.set_header("Content-Security-Policy",
                                "default-src 'self'; script-src 'self'; style-src 'self'");
            response.set_header("X-Content-Type-Options", "nosniff");
        });
}

// Each event the whole plant, as j4_live_view() has it; a comment line now
// and then keeps proxies from closing a quiet stream.
void serveEvents(httplib::Server& server, const LiveFeed& feed, const std::atomic<bool>& stop) {
    server.Get("/events", [&feed, &stop](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream", [&feed, &stop, version = std::uint64_t{0}](
                                     std::size_t, httplib::DataSink& sink) mutable {
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
            });
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

Result<Done> serve(const ServeOptions& options, const std::atomic<bool>& stop) {
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
    LiveFeed feed(options.records);
    // Every request signed in, where there are users.
    server->set_pre_routing_handler(
        [&users](const httplib::Request& request, httplib::Response& response) {
            if (!users)
                return httplib::Server::HandlerResponse::Unhandled;
            const std::string given = request.get_header_value("Authorization");
            if (given.rfind("Basic ", 0) == 0) {
                const QByteArray pair =
                    QByteArray::fromBase64(QByteArray::fromStdString(given.substr(6)));
                const auto colon = pair.indexOf(':');
                if (colon > 0 &&
                    users->check(pair.left(colon).toStdString(), pair.mid(colon + 1).toStdString()))
                    return httplib::Server::HandlerResponse::Unhandled;
            }
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"J4 plant\", charset=\"UTF-8\"");
            return httplib::Server::HandlerResponse::Handled;
        });
    servePage(*server);
    serveEvents(*server, feed, stop);
    std::atomic<bool> ended{false};
    WorkerThread stopper([&] {
        while (!stop && !ended)
            QThread::msleep(100);
        server->stop();
    });
    const bool listened = server->listen(options.host, options.port);
    ended = true;
    stopper.wait();
    if (!listened)
        return fail("cannot listen on " + options.host + ":" + std::to_string(options.port));
    return Done{};
}

} // namespace j4::view
