#pragma once
// The plant's records database (PostgreSQL): the schema made when missing,
// records inserted once each however often they are sent. Every wait is
// bounded and gives way to a stop, so a database that is down, far or
// paused never holds a program.

#include "bounds.h"
#include "record.h"
#include "result.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <span>
#include <string>

namespace j4::records {

struct LiveState;

// Whether URL is a connection URI the client library takes, without a
// password (that belongs in ~/.pgpass or PGPASSFILE, out of the process
// list); the reason as a sentence otherwise.
Result<Done> checkRecordsAddress(const std::string& url);

class RecordDatabase {
public:
    using Bounds = db::Bounds;

    // Connects and makes the schema when it is missing. `stop`, when given,
    // cuts any wait short.
    static Result<std::unique_ptr<RecordDatabase>>
    open(const std::string& url, const std::atomic<bool>* stop, Bounds bounds);
    static Result<std::unique_ptr<RecordDatabase>> open(const std::string& url,
                                                        const std::atomic<bool>* stop = nullptr) {
        return open(url, stop, Bounds{});
    }
    virtual ~RecordDatabase() = default;

    // Why an insert did not happen. `refused`: the database turned the
    // records down on their own merits (a value it cannot take, an index's
    // limit), so sending them again would fail again; otherwise the
    // database could not be asked (down, far, busy, cancelled) and may take
    // them later.
    struct InsertFailure {
        std::string text;
        bool refused = false;
    };
    // Inserts the records in one statement, those already there left as
    // they are; how many were new.
    virtual Result<std::size_t, InsertFailure> insert(std::span<const Record> records) = 0;
    // The station's slots as they are now, and its heartbeat; those who
    // listen on j4_live hear the station's name. `refused`: this station's
    // role may not keep them (or the layout has no place for them).
    virtual Result<Done, InsertFailure> reportLive(const LiveState& state) = 0;
};

// What the PostgreSQL client module gives: it is loaded the first time a
// program asks for a database, so that a window that keeps no records never
// loads libpq and what it pulls in (Kerberos, LDAP, SASL) at its start.
struct RecordDatabaseModule {
    Result<Done> (*checkAddress)(const std::string& url);
    Result<std::unique_ptr<RecordDatabase>> (*open)(const std::string& url,
                                                    const std::atomic<bool>* stop,
                                                    RecordDatabase::Bounds bounds);
};

} // namespace j4::records
