#pragma once
// One connection to the plant's PostgreSQL through libpq, every wait bounded
// and given up on a stop: a database that is down, far or paused never
// holds a program. Used by the records' module, the line stations and the
// plant's program.

#include "bounds.h"
#include "result.h"
#include "socket_ready.h"

#include <libpq-fe.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace j4::db {

struct ResultClear {
    void operator()(PGresult* result) const { PQclear(result); }
};
using QueryResult = std::unique_ptr<PGresult, ResultClear>;

class PqSession {
public:
    // Connected within the bounds' connect time; statements then bounded by
    // the server itself (statement and lock timeouts) where the role sets
    // none.
    static Result<std::unique_ptr<PqSession>> open(const std::string& url,
                                                   const std::atomic<bool>* stop, Bounds bounds);

    // Sends the statement (one or several; `values` for $1...) and collects
    // its results: the last one, or the server's words. `bound`, when
    // given, is this statement's own (it must set the server's to match).
    // A connection that was lost (a server restarted, a network cut) or
    // whose last statement was given up unanswered is made anew first, so
    // that one outage never leaves a session failing for good; never in the
    // middle of a transaction, which would go on outside it.
    Result<QueryResult> run(const std::string& sql, const std::vector<const char*>& values = {},
                            std::chrono::milliseconds bound = {});
    // The SQLSTATE of the last statement's error, if any.
    const std::string& errorState() const { return errorState_; }
    // Whether that error was the statement's own data (a value, a
    // constraint, a limit): sent again, it fails again.
    bool refusedOnItsMerits() const;
    // Whether the last statement failed because the connection was found
    // gone (a server restarted): not because it went unanswered.
    bool connectionLost() const { return lost_; }

    PGconn* connection() const { return connection_.get(); }
    const std::atomic<bool>* stop() const { return stop_; }

    struct ConnectionClose {
        void operator()(PGconn* connection) const { PQfinish(connection); }
    };
    using Connection = std::unique_ptr<PGconn, ConnectionClose>;
    PqSession(Connection connection, std::string url, const std::atomic<bool>* stop, Bounds bounds);

private:
    Result<Done> limitWaits();
    Result<Done> usable();
    Result<Done> flush(std::chrono::steady_clock::time_point deadline);
    Result<QueryResult> collect(std::chrono::steady_clock::time_point deadline);
    void cancel();

    Connection connection_;
    std::string url_;
    const std::atomic<bool>* stop_;
    Bounds bounds_;
    bool running_ = false;   // a statement was sent and not answered
    bool broken_ = false;    // made anew before the next statement
    bool lost_ = false;      // the last statement found the connection gone
    std::string errorState_; // the SQLSTATE of the last statement's error
};

// Waits for the connection's socket in short steps, so that a stop is seen
// at once; false when the deadline passed or the stop came first.
bool waitForSocket(PGconn* connection, SocketEvent event,
                   std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* stop);

// A column's text, empty when NULL.
std::string text(const QueryResult& result, int row, int column);

// Bytes as a bytea parameter's text, and a bytea column's bytes, as libpq
// writes and reads them.
std::string byteaText(PGconn* connection, std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> byteaBytes(const QueryResult& result, int row, int column);

// libpq's message without its line end.
std::string trimmed(const char* text);

// Whether URL is a connection URI libpq takes, without a password; `option`
// names the option in the sentence that says why not.
Result<Done> checkConnectionUri(const std::string& url, const std::string& option);

} // namespace j4::db
