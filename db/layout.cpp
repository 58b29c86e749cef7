#include "layout.h"

#include <algorithm>
#include <cstdlib>
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

// One transaction; rolled back when it fails.
Stepped inTransaction(PqSession& session, const std::string& sql) {
    const auto done = session.run(
        "BEGIN; SET LOCAL statement_timeout = '2h';\n" + sql + "\nCOMMIT;", {}, kStepBound);
    if (done)
        return Done{};
    StepFailure failure{done.error(), session.errorState() == "42501"};
    static_cast<void>(session.run("ROLLBACK"));
    return fail(std::move(failure));
}

// A database made before steps were recorded has the steps its plant's
// layout number says: they are recorded as they are.
Stepped keepSteps(PqSession& session, const Present& present, const LayoutFiles& files) {
    std::string sql = files.stepsKept;
    for (int step = 1; step <= present.steps && step <= static_cast<int>(files.steps.size());
         ++step)
        sql += recorded(step, files.steps[step - 1]);
    return inTransaction(session, sql);
}

Stepped replay(PqSession& session, int stepsBefore, const LayoutFiles& files) {
    std::string sql = "SET LOCAL j4.steps_before = '" + std::to_string(stepsBefore) + "';\n";
    for (const LayoutFile& file : files.replayed)
        sql += std::string(file.sql) + "\n";
    sql += std::string("INSERT INTO j4_layout_replayed (sha256) VALUES ('") + files.replayedSha256 +
           "') ON CONFLICT (one) DO UPDATE SET sha256 = EXCLUDED.sha256, replayed = now();";
    return inTransaction(session, sql);
}

// Under the lock: what another program did meanwhile is read first.
Stepped bringUp(PqSession& session, const LayoutFiles& files) {
    auto present = readPresent(session);
    if (!present)
        return fail(StepFailure{present.error()});
    if (upToDate(*present, files))
        return Done{};
    if (!present->recorded)
        if (auto kept = keepSteps(session, *present, files); !kept)
            return kept;
    const int wanted = static_cast<int>(files.steps.size());
    for (int step = present->steps + 1; step <= wanted; ++step) {
        const LayoutFile& file = files.steps[step - 1];
        if (auto applied =
                inTransaction(session, file.sql + std::string("\n") + recorded(step, file));
            !applied)
            return fail(StepFailure{std::string(file.name) + ": " + applied.error().text,
                                    applied.error().notAllowed});
    }
    return replay(session, present->steps, files);
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
    if (const auto locked = session.run(std::string("SELECT pg_advisory_lock(") + kLock + ")");
        !locked)
        return fail("its records table cannot be made (" + locked.error() + ")");
    const auto made = bringUp(session, files);
    static_cast<void>(session.run(std::string("SELECT pg_advisory_unlock(") + kLock + ")"));
    if (made)
        return Layout{true};
    if (!made.error().notAllowed)
        return fail("its records table cannot be made (" + made.error().text + ")");
    return Layout{false};
}

} // namespace j4::db
