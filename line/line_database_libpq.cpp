#include "layout.h"
#include "line_database.h"
#include "module_entry.h"
#include "pq_session.h"

#include <mutex>

namespace j4::line {
namespace {

// One connection for all of a station's slots: each statement is short,
// and they take turns.
class PostgresLine final : public LineDatabase {
public:
    PostgresLine(std::unique_ptr<db::PqSession> session, std::string url,
                 const std::atomic<bool>* stop)
        : session_(std::move(session)), url_(std::move(url)), stop_(stop) {}

    Result<bool> waitForChange(const std::string& line, std::chrono::milliseconds wait) override {
        if (!listening_) {
            auto session = db::PqSession::open(url_, stop_, {});
            if (!session)
                return fail(session.error());
            if (auto listened = (*session)->run("LISTEN j4_line"); !listened)
                return fail(listened.error());
            listening_ = std::move(*session);
        }
        PGconn* connection = listening_->connection();
        bool changed = false;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        do {
            if (PQconsumeInput(connection) == 0) {
                const std::string why = db::trimmed(PQerrorMessage(connection));
                listening_.reset(); // listened afresh next time
                return fail(why);
            }
            while (PGnotify* heard = PQnotifies(connection)) {
                changed = changed || line == heard->extra;
                PQfreemem(heard);
            }
        } while (!changed &&
                 db::waitForSocket(connection, db::SocketEvent::Readable, deadline, stop_));
        return changed;
    }

    Result<ClaimVerdict> claim(const std::string& line, const std::string& attempt,
                               const std::string& station, int seconds, int spare) override {
        const std::string time = std::to_string(seconds);
        const std::string left = std::to_string(spare);
        const auto result =
            run("SELECT * FROM j4_claim($1, $2::uuid, $3, $4::integer, $5::integer)",
                {line.c_str(), attempt.c_str(), station.c_str(), time.c_str(), left.c_str()});
        if (!result)
            return fail(result.error());
        ClaimVerdict verdict;
        const std::string kind = db::text(*result, 0, 1);
        using Kind = ClaimVerdict::Kind;
        verdict.kind = kind == "claimed"    ? Kind::Claimed
                       : kind == "held"     ? Kind::Held
                       : kind == "complete" ? Kind::Complete
                       : kind == "full"     ? Kind::Full
                                            : Kind::Unassigned;
        verdict.assignment = std::atoll(db::text(*result, 0, 0).c_str());
        verdict.done = std::atoll(db::text(*result, 0, 2).c_str());
        verdict.quantity = std::atoll(db::text(*result, 0, 3).c_str());
        verdict.reason = db::text(*result, 0, 4);
        return verdict;
    }

    Result<ClaimVerdict> look(const std::string& line, const std::string& station) override {
        const auto result =
            run("SELECT * FROM j4_line_look($1, $2)", {line.c_str(), station.c_str()});
        if (!result)
            return fail(result.error());
        ClaimVerdict verdict;
        if (PQntuples(result->get()) == 1) {
            verdict.assignment = std::atoll(db::text(*result, 0, 0).c_str());
            verdict.quantity = std::atoll(db::text(*result, 0, 1).c_str());
            verdict.done = std::atoll(db::text(*result, 0, 2).c_str());
            verdict.reason = db::text(*result, 0, 3);
            verdict.kind =
                verdict.reason.empty() ? ClaimVerdict::Kind::Claimed : ClaimVerdict::Kind::Held;
        }
        return verdict;
    }

    Result<Done> renew(const std::vector<std::string>& attempts, int seconds) override {
        std::string list = "{";
        for (const std::string& attempt : attempts)
            list += (list.size() > 1 ? "," : "") + attempt;
        list += "}";
        const std::string time = std::to_string(seconds);
        const auto result =
            run("SELECT j4_renew($1::uuid[], $2::integer)", {list.c_str(), time.c_str()});
        if (!result)
            return fail(result.error());
        return Done{};
    }

    Result<Done> countOffline(long long assignment, const std::string& attempt,
                              const std::string& station, bool completed) override {
        const std::string id = std::to_string(assignment);
        const auto result =
            run("SELECT j4_count_offline($2::bigint, $1::uuid, $3, $4::boolean)",
                {attempt.c_str(), id.c_str(), station.c_str(), completed ? "true" : "false"});
        if (!result)
            return fail(result.error());
        return Done{};
    }

    Result<Done> giveBack(const std::string& attempt) override {
        const auto result = run("SELECT j4_give_back($1::uuid)", {attempt.c_str()});
        if (!result)
            return fail(result.error());
        return Done{};
    }

    Result<bool> commit(const std::string& attempt, const std::string& unit) override {
        const auto result = run("SELECT j4_commit($1::uuid, $2)", {attempt.c_str(), unit.c_str()});
        if (!result)
            return fail(result.error());
        return db::text(*result, 0, 0) == "t";
    }

    Result<std::string> settle(const std::string& attempt, bool completed) override {
        const auto result = run("SELECT j4_settle($1::uuid, $2::boolean)",
                                {attempt.c_str(), completed ? "true" : "false"});
        if (!result)
            return fail(result.error());
        return db::text(*result, 0, 0);
    }

    Result<bool> resume(const std::string& line) override {
        const auto result = run("SELECT j4_resume($1)", {line.c_str()});
        if (!result)
            return fail(result.error());
        return db::text(*result, 0, 0) == "t";
    }

    Result<Done> sayRefusal(const std::string& station, const std::string& line,
                            long long assignment, const std::string& reason) override {
        const std::string id = std::to_string(assignment);
        const auto result = run("SELECT j4_station_refuses($1, $2, $3::bigint, $4)",
                                {station.c_str(), line.c_str(), id.c_str(), reason.c_str()});
        if (!result)
            return fail(result.error());
        return Done{};
    }

    Result<LineAssignment> assignment(long long id) override {
        const std::string key = std::to_string(id);
        const auto result = run("SELECT * FROM j4_assignment($1::bigint)", {key.c_str()});
        if (!result)
            return fail(result.error());
        if (PQntuples(result->get()) != 1)
            return fail("the line's assignment " + key + " is not in the database");
        LineAssignment assignment;
        assignment.id = id;
        assignment.line = db::text(*result, 0, 0);
        assignment.sha256 = db::text(*result, 0, 1);
        assignment.version = db::text(*result, 0, 2);
        assignment.workOrder = db::text(*result, 0, 3);
        assignment.lot = db::text(*result, 0, 4);
        assignment.partNumber = db::text(*result, 0, 5);
        assignment.quantity = std::atoll(db::text(*result, 0, 6).c_str());
        return assignment;
    }

    Result<LineRelease> release(const std::string& sha256) override {
        const auto result = run("SELECT * FROM j4_release_file($1)", {sha256.c_str()});
        if (!result)
            return fail(result.error());
        if (PQntuples(result->get()) != 1)
            return fail("release " + sha256 + " is not in the database");
        return LineRelease{db::byteaBytes(*result, 0, 0), db::text(*result, 0, 1)};
    }

private:
    // Every statement here may be sent twice: a connection found gone (a
    // server restarted) is made anew and the statement sent once more,
    // rather than a unit refused while the database is up.
    Result<db::QueryResult> run(const std::string& sql, const std::vector<const char*>& values) {
        const std::lock_guard lock(mutex_);
        auto result = session_->run(sql, values);
        if (!result && session_->connectionLost())
            result = session_->run(sql, values);
        return result;
    }

    std::mutex mutex_;
    std::unique_ptr<db::PqSession> session_;
    std::string url_;
    const std::atomic<bool>* stop_;
    std::unique_ptr<db::PqSession> listening_; // the watch's own connection
};

Result<std::unique_ptr<LineDatabase>> openLine(const std::string& url,
                                               const std::atomic<bool>* stop) {
    if (const auto checked = db::checkConnectionUri(url, "--records"); !checked)
        return fail(checked.error());
    auto session = db::PqSession::open(url, stop, {});
    if (!session)
        return fail(session.error());
    const auto layout = db::ensureLayout(**session);
    if (!layout)
        return fail(layout.error());
    if (!layout->plant)
        return fail(std::string("the plant's layout in its database is missing or older than "
                                "this station's, and this station's role may not bring it up: "
                                "run any j4_plant command as the layout's owner first"));
    return std::unique_ptr<LineDatabase>(
        std::make_unique<PostgresLine>(std::move(*session), url, stop));
}

} // namespace
} // namespace j4::line

// The module's one entry, found by name when it is loaded.
J4_MODULE_ENTRY const j4::line::LineDatabaseModule* j4LineDatabaseModule() {
    static const j4::line::LineDatabaseModule module{&j4::line::openLine};
    return &module;
}
