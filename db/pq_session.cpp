#include "pq_session.h"

#include "socket_ready.h"

namespace j4::db {
namespace {

using Clock = std::chrono::steady_clock;

std::string timedOut(const std::atomic<bool>* stop, const char* what) {
    return stop != nullptr && *stop ? "stopped" : std::string("no answer ") + what;
}

Result<PqSession::Connection> connect(const std::string& url, const std::atomic<bool>* stop,
                                      std::chrono::milliseconds bound) {
    const char* keys[] = {"dbname", "client_encoding", "application_name", nullptr};
    const char* values[] = {url.c_str(), "UTF8", "j4-updater", nullptr};
    PqSession::Connection connection(PQconnectStartParams(keys, values, 1));
    if (!connection)
        return fail("out of memory");
    const auto deadline = Clock::now() + bound;
    for (auto state = PGRES_POLLING_WRITING;;) {
        if (state == PGRES_POLLING_OK)
            break;
        if (state == PGRES_POLLING_FAILED || PQstatus(connection.get()) == CONNECTION_BAD)
            return fail(trimmed(PQerrorMessage(connection.get())));
        if (!waitForSocket(connection.get(),
                           state == PGRES_POLLING_READING ? SocketEvent::Readable
                                                          : SocketEvent::Writable,
                           deadline, stop))
            return fail(timedOut(stop, "within the connection's time"));
        state = PQconnectPoll(connection.get());
    }
    if (PQsetnonblocking(connection.get(), 1) != 0)
        return fail(trimmed(PQerrorMessage(connection.get())));
    // The server's notices (the layout run again: "... does not exist,
    // skipping") are not the operator's business.
    PQsetNoticeProcessor(
        connection.get(), [](void*, const char*) {}, nullptr);
    return connection;
}

} // namespace

std::string text(const QueryResult& result, int row, int column) {
    return PQgetisnull(result.get(), row, column) ? std::string()
                                                  : PQgetvalue(result.get(), row, column);
}

std::string byteaText(PGconn* connection, std::span<const std::uint8_t> bytes) {
    std::size_t length = 0;
    unsigned char* escaped = PQescapeByteaConn(connection, bytes.data(), bytes.size(), &length);
    if (escaped == nullptr)
        return {};
    std::string text(reinterpret_cast<const char*>(escaped));
    PQfreemem(escaped);
    return text;
}

std::vector<std::uint8_t> byteaBytes(const QueryResult& result, int row, int column) {
    std::size_t length = 0;
    unsigned char* bytes = PQunescapeBytea(
        reinterpret_cast<const unsigned char*>(PQgetvalue(result.get(), row, column)), &length);
    if (bytes == nullptr)
        return {};
    std::vector<std::uint8_t> copy(bytes, bytes + length);
    PQfreemem(bytes);
    return copy;
}

std::string trimmed(const char* text) {
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool waitForSocket(PGconn* connection, SocketEvent event, Clock::time_point deadline,
                   const std::atomic<bool>* stop) {
    while (Clock::now() < deadline && (stop == nullptr || !*stop)) {
        if (socketReady(PQsocket(connection), event, std::chrono::milliseconds(100)))
            return true;
    }
    return false;
}

PqSession::PqSession(Connection connection, std::string url, const std::atomic<bool>* stop,
                     Bounds bounds)
    : connection_(std::move(connection)), url_(std::move(url)), stop_(stop), bounds_(bounds) {}

Result<std::unique_ptr<PqSession>> PqSession::open(const std::string& url,
                                                   const std::atomic<bool>* stop, Bounds bounds) {
    auto connection = connect(url, stop, bounds.connect);
    if (!connection)
        return fail(connection.error());
    auto session = std::make_unique<PqSession>(std::move(*connection), url, stop, bounds);
    if (auto limited = session->limitWaits(); !limited)
        return fail(limited.error());
    return session;
}

bool PqSession::refusedOnItsMerits() const {
    // A value out of range or malformed (class 22), a constraint (23), a
    // limit such as an index row's size (54).
    return errorState_.starts_with("22") || errorState_.starts_with("23") ||
           errorState_.starts_with("54");
}

void PqSession::cancel() {
    // A statement given up here (a lock held elsewhere, a stop) would keep
    // its server process waiting long after this connection is gone, and
    // every retry would add one: cancelled on the server too, with libpq's
    // own cancel request, which a pooler (pgbouncer) forwards to the server
    // process it chose (a pg_cancel_backend of the process this connection
    // sees would name the pooler's). That request waits without a bound for
    // a server that neither answers nor refuses: it is sent only once a
    // connection of our own, within our bound, shows the server answers.
    running_ = false;
    const auto answers =
        connect(url_, nullptr, std::min(bounds_.connect, std::chrono::milliseconds(3000)));
    if (!answers)
        return;
    const std::unique_ptr<PGcancel, decltype(&PQfreeCancel)> request(PQgetCancel(connection_.get()),
                                                                     PQfreeCancel);
    char error[256] = "";
    if (request)
        static_cast<void>(PQcancel(request.get(), error, sizeof error));
}

Result<Done> PqSession::usable() {
    PGconn* connection = connection_.get();
    const auto transaction = PQtransactionStatus(connection);
    const bool inTransaction = transaction == PQTRANS_INTRANS || transaction == PQTRANS_INERROR;
    // A server that went away has said so on the socket (its last words,
    // then the end): read before anything is sent on it.
    // libpq reads the last words and the end in separate reads: read while
    // there is something, a few times at most.
    for (int read = 0;
         read < 4 && !broken_ && PQstatus(connection) == CONNECTION_OK &&
         socketReady(PQsocket(connection), SocketEvent::Readable, std::chrono::milliseconds(0));
         ++read)
        broken_ = PQconsumeInput(connection) == 0 || PQstatus(connection) != CONNECTION_OK;
    broken_ = broken_ || PQstatus(connection) != CONNECTION_OK || transaction == PQTRANS_ACTIVE;
    if (!broken_)
        return Done{};
    if (inTransaction)
        return fail(std::string("the connection was lost in the middle of a transaction"));
    auto fresh = connect(url_, stop_, bounds_.connect);
    if (!fresh)
        return fail(fresh.error());
    connection_ = std::move(*fresh);
    broken_ = false;
    running_ = false;
    return limitWaits();
}

Result<QueryResult> PqSession::run(const std::string& sql, const std::vector<const char*>& values,
                                   std::chrono::milliseconds bound) {
    errorState_.clear();
    lost_ = false;
    if (auto ready = usable(); !ready)
        return fail(ready.error());
    PGconn* connection = connection_.get();
    const int sent = values.empty()
                         ? PQsendQuery(connection, sql.c_str())
                         : PQsendQueryParams(connection, sql.c_str(), int(values.size()), nullptr,
                                             values.data(), nullptr, nullptr, 0);
    if (sent == 0) {
        // Nothing was sent: the connection is of no more use.
        broken_ = lost_ = true;
        return fail(trimmed(PQerrorMessage(connection)));
    }
    running_ = true;
    // The server's own bound (statement_timeout) ends a statement first;
    // this one is for a server or a network that does not answer at all.
    const auto deadline =
        Clock::now() + (bound.count() > 0 ? bound : bounds_.statement) + std::chrono::seconds(5);
    const auto flushed = flush(deadline);
    auto result = flushed ? collect(deadline) : Result<QueryResult>(fail(flushed.error()));
    if (running_)
        cancel();
    // Unanswered or cut off: the connection is of no more use (libpq still
    // waits for the given-up statement's answer on it).
    if (!result && errorState_.empty())
        broken_ = true;
    return result;
}

Result<Done> PqSession::flush(Clock::time_point deadline) {
    // A non-blocking connection hands over only what the socket's buffer
    // takes: the rest of a large statement is sent as the socket drains
    // (a Unix socket's buffer is far smaller than a batch). Answers read
    // meanwhile keep the server from waiting on us.
    PGconn* connection = connection_.get();
    for (;;) {
        const int left = PQflush(connection);
        if (left == 0)
            return Done{};
        if (left > 0 && !waitForSocket(connection, SocketEvent::Either, deadline, stop_))
            return fail(timedOut(stop_, "within the statement's time"));
        if (left < 0 || PQconsumeInput(connection) == 0) {
            running_ = false; // the connection is gone, and its statement with it
            lost_ = true;
            return fail(trimmed(PQerrorMessage(connection)));
        }
    }
}

Result<QueryResult> PqSession::collect(Clock::time_point deadline) {
    PGconn* connection = connection_.get();
    QueryResult last;
    std::string error;
    for (;;) {
        while (PQisBusy(connection) != 0) {
            if (!waitForSocket(connection, SocketEvent::Readable, deadline, stop_))
                return fail(timedOut(stop_, "within the statement's time"));
            if (PQconsumeInput(connection) == 0) {
                running_ = false; // the connection is gone, and its statement with it
                lost_ = true;
                return fail(trimmed(PQerrorMessage(connection)));
            }
        }
        QueryResult result(PQgetResult(connection));
        if (!result)
            break;
        const auto status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && error.empty()) {
            error = trimmed(PQresultErrorMessage(result.get()));
            if (const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE))
                errorState_ = state;
        }
        last = std::move(result);
    }
    running_ = false;
    if (!error.empty())
        return fail(error);
    return last;
}

Result<Done> PqSession::limitWaits() {
    // The server gives a statement up itself, locks included, unless the
    // role, the database or the address already set a bound of their own.
    const std::string bound = std::to_string(bounds_.statement.count());
    const auto set = run("SELECT set_config(name, $1, false) FROM pg_settings "
                         "WHERE name IN ('statement_timeout', 'lock_timeout') AND setting = '0'",
                         {bound.c_str()});
    if (!set)
        return fail(set.error());
    return Done{};
}

Result<Done> checkConnectionUri(const std::string& url, const std::string& option) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    if (options == nullptr) {
        const std::string why = trimmed(error);
        PQfreemem(error);
        return fail(option + " " + url + " is not a PostgreSQL connection URI (" + why + ")");
    }
    bool password = false;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option)
        password = password || (std::string(option->keyword) == "password" && option->val);
    PQconninfoFree(options);
    if (password)
        return fail(option + ": the URI holds a password, which the process list shows to "
                             "everyone; put it in ~/.pgpass (on Windows "
                             "%APPDATA%\\postgresql\\pgpass.conf) or PGPASSFILE instead");
    return Done{};
}

} // namespace j4::db
