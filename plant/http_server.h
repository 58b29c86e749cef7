#pragma once
// The live page's HTTP/1.1 server, on libmicrohttpd: its connections are
// served by two event-driven threads, so an open page or a slow client costs
// a socket, not a thread. Every request is bounded: the time to send its
// headers and its body, their sizes, the connections from one address and in
// all. Work that waits on the database runs on a few threads of its own, a
// bounded number at a time and per address, never on the network's. An
// event stream with nothing new to say is suspended until it is woken.

#include "result.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace j4::plant {

struct HttpRequest {
    std::string method;
    std::string path;
    std::string address;                        // the client's, numeric
    std::map<std::string, std::string> headers; // names in lower case
    std::map<std::string, std::string> query;
    std::string body;

    std::string header(const std::string& lowerCaseName) const;
    std::string param(const std::string& name) const;
    bool hasBody() const;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpReply {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    HttpHeaders headers;
    // An event stream instead of a body: `next` is asked for what is new
    // whenever the server is woken (empty: nothing); `ended` is told once
    // the stream has gone, whichever way.
    std::function<std::string()> next;
    std::function<void()> ended;
};

// A short answer in plain text, or of `type`.
HttpReply textReply(int status, std::string text, HttpHeaders headers = {});
HttpReply typedReply(int status, std::string type, std::string body, HttpHeaders headers = {});

// What a request gets: an answer now, or the work that makes one and may
// wait (on the database), done away from the network's threads.
struct Handling {
    std::optional<HttpReply> now;
    std::function<HttpReply()> errand;
};

struct HttpHandlers {
    // Once the headers are in, before any body is read: a refusal, or none.
    std::function<std::optional<HttpReply>(const HttpRequest&)> admit;
    std::function<Handling(const HttpRequest&)> handle;
    HttpHeaders everyAnswer;
};

struct TlsPair {
    std::string cert; // PEM, the chain
    std::string key;  // PEM, without a passphrase
};

class HttpServer {
public:
    // Listening on host:port from now; why not otherwise.
    static Result<std::unique_ptr<HttpServer>> start(const std::string& host, int port,
                                                     const std::optional<TlsPair>& tls,
                                                     HttpHandlers handlers);
    ~HttpServer(); // lets the open streams and errands end, then stops
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Every suspended event stream is asked for what is new.
    void wake();

    class Daemon;
    explicit HttpServer(std::unique_ptr<Daemon> daemon);

private:
    std::unique_ptr<Daemon> daemon_;
};

} // namespace j4::plant
