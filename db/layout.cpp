#include "layout.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>

namespace j4::db {
namespace {

// The key every release takes before it changes the layout, earlier ones
// (which replayed one whole script) included.
constexpr const char* kLock = "4004201";
// Counting a year of records into new summaries takes minutes, once:
// longer than any statement's bound. Programs starting meanwhile wait for
// the lock no longer than their own bound, and try again later.
constexpr std::chrono::hours kStepBound{2};

// Why the layout could not be brought up; `notAllowed`: this role may not
// alter it, and goes on with it as it is.
struct StepFailure {
    std::string text;
    bool notAllowed = false;
};
using Stepped = Result<Done, StepFailure>;

// What a database has: j4_schema's version (0: no layout at all), and its
// steps, recorded or, before steps were recorded, read from the plant's
// layout number the earlier releases kept.
struct Present {
    int version = 0;
    int steps = 0;
    bool recorded = false;
    std::string replayed; // the SHA-256 of the views and functions last replayed
};

int number(const QueryResult& result, int column) {
    return PQgetisnull(result.get(), 0, column) ? -1
                                                : std::atoi(PQgetvalue(result.get(), 0, column));
}

Result<Present> readPresent(PqSession& session) {
    const auto tables = session.run("SELECT to_regclass('j4_schema') IS NOT NULL, "
                                    "to_regclass('j4_layout_steps') IS NOT NULL");
    if (!tables)
        return fail(tables.error());
    Present present;
    if (std::string(PQgetvalue(tables->get(), 0, 0)) != "t")
        return present;
    present.recorded = std::string(PQgetvalue(tables->get(), 0, 1)) == "t";
    // The plant's column is missing from a database of the records' first layout.
    const auto row = session.run(
        present.recorded
            ? "SELECT version, (SELECT max(step) FROM j4_layout_steps), "
              "(SELECT sha256 FROM j4_layout_replayed) FROM j4_schema"
            : "SELECT version, (to_jsonb(s) ->> 'plant')::integer + 1, NULL FROM j4_schema s");
    if (!row)
        return fail(row.error());
    if (PQntuples(row->get()) != 1)
        return present;
    present.version = number(*row, 0);
    present.steps = std::max(number(*row, 1), 1);
    present.replayed = PQgetvalue(row->get(), 0, 2);
    return present;
}

bool upToDate(const Present& present, const LayoutFiles& files) {
    const int wanted = static_cast<int>(files.steps.size());
    return present.recorded &&
           (present.steps > wanted ||
            (present.steps == wanted && present.replayed == files.replayedSha256));
}

std::string recorded(int step, const LayoutFile& file) {
    return "INSERT INTO j4_layout_steps (step, name, sha256) VALUES (" + std::to_string(step) +
           ", '" + file.name + "', '" + file.sha256 + "') ON CONFLICT (step) DO NOTHING;\n";
}

// One transaction under the layout's lock: `work` (its statements) sees
// what every program that held the lock before did; rolled back when it
// fails. The lock is the transaction's, so a pooler that hands each
// transaction to a server connection of its own (pgbouncer) keeps it whole.
Stepped underLock(PqSession& session, const std::function<Stepped(const Present&)>& work) {
    auto begun = session.run(std::string("BEGIN; SET LOCAL statement_timeout = '2h'; "
                                         "SELECT pg_advisory_xact_lock(") +
                                 kLock + ")",
                             {}, kStepBound);
    Stepped done = Done{};
    if (!begun) {
        done = fail(StepFailure{begun.error(), session.errorState() == "42501"});
    } else if (auto present = readPresent(session); !present) {
        done = fail(StepFailure{present.error(), session.errorState() == "42501"});
    } else if (done = work(*present); done) {
        if (auto committed = session.run("COMMIT", {}, kStepBound); !committed)
            return fail(StepFailure{committed.error(), session.errorState() == "42501"});
        return Done{};
    }
    static_cast<void>(session.run("ROLLBACK"));
    return done;
}

// `sql` in the current transaction.
Stepped ran(PqSession& session, const std::string& sql) {
    if (const auto done = session.run(sql, {}, kStepBound); !done)
        return fail(StepFailure{done.error(), session.errorState() == "42501"});
    return Done{};
}

// A database made before steps were recorded has the steps its plant's
// layout number says: they are recorded as they are.
Stepped keepSteps(PqSession& session, const Present& present, const LayoutFiles& files) {
    if (present.recorded)
        return Done{};
    std::string sql = files.stepsKept;
    for (int step = 1; step <= present.steps && step <= static_cast<int>(files.steps.size());
         ++step)
        sql += recorded(step, files.steps[step - 1]);
    return ran(session, sql);
}

Stepped replay(PqSession& session, int stepsBefore, const LayoutFiles& files) {
    std::string sql = "SET LOCAL j4.steps_before = '" + std::to_string(stepsBefore) + "';\n";
    for (const LayoutFile& file : files.replayed)
        sql += std::string(file.sql) + "\n";
    sql += std::string("INSERT INTO j4_layout_replayed (sha256) VALUES ('") + files.replayedSha256 +
           "') ON CONFLICT (one) DO UPDATE SET sha256 = EXCLUDED.sha256, replayed = now();";
    return ran(session, sql);
}

// Each step in a transaction of its own, then the replay: each under the
// lock, after reading what another program did meanwhile.
Stepped bringUp(PqSession& session, int stepsBefore, const LayoutFiles& files) {
    if (auto kept = underLock(
            session, [&](const Present& present) { return keepSteps(session, present, files); });
        !kept)
        return kept;
    const int wanted = static_cast<int>(files.steps.size());
    for (int step = stepsBefore + 1; step <= wanted; ++step) {
        const LayoutFile& file = files.steps[step - 1];
        auto applied = underLock(session, [&](const Present& present) -> Stepped {
            if (present.steps >= step)
                return Done{};
            return ran(session, file.sql + std::string("\n") + recorded(step, file));
        });
        if (!applied)
            return fail(StepFailure{std::string(file.name) + ": " + applied.error().text,
                                    applied.error().notAllowed});
    }
    return underLock(session, [&](const Present& present) -> Stepped {
        if (upToDate(present, files))
            return Done{};
        return replay(session, stepsBefore, files);
    });
}

} // namespace

Result<Layout> ensureLayout(PqSession& session) {
    const LayoutFiles& files = layoutFiles();
    const auto present = readPresent(session);
    if (!present)
        return fail("its records table cannot be read (" + present.error() + ")");
    if (present->version > 1)
        return fail("its records have the layout of a newer J4 Updater (version " +
                    std::to_string(present->version) + "); update this station's J4 Updater");
    if (upToDate(*present, files))
        return Layout{true};
    const auto made = bringUp(session, present->steps, files);
    if (made)
        return Layout{true};
    if (!made.error().notAllowed)
        return fail("its records table cannot be made (" + made.error().text + ")");
    return Layout{false};
}

} // namespace j4::db
