#include "plant_store.h"

#include <charconv>

namespace j4::plant {
namespace {

PlantError refused(std::string text) {
    return {PlantError::Kind::Refused, std::move(text)};
}

const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

} // namespace

Result<StopRule> parseStopRule(const std::string& text) {
    StopRule rule;
    if (text == "none") {
        rule.failures = rule.window = 0;
        return rule;
    }
    const auto slash = text.find('/');
    const auto number = [](std::string_view digits, int& into) {
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), into);
        return error == std::errc() && end == digits.data() + digits.size() && into > 0;
    };
    if (slash == std::string::npos ||
        !number(std::string_view(text).substr(0, slash), rule.failures) ||
        !number(std::string_view(text).substr(slash + 1), rule.window) ||
        rule.window < rule.failures)
        return fail("--stop-after takes K/M, K failures in the last M attempts, 1 <= K <= M (as "
                    "3/10), or none; got \"" +
                    text + "\"");
    return rule;
}

PlantResult<PlantStore> PlantStore::connect(const std::string& url, const std::atomic<bool>* stop,
                                            db::Bounds bounds) {
    if (const auto checked = db::checkConnectionUri(url, "--records"); !checked)
        return fail(refused(checked.error()));
    auto session = db::PqSession::open(url, stop, bounds);
    if (!session)
        return fail(PlantError{PlantError::Kind::Database,
                               "cannot reach the plant's database (" + session.error() + ")"});
    return PlantStore(std::move(*session));
}

PlantResult<PlantStore> PlantStore::open(const std::string& url, const std::atomic<bool>* stop) {
    auto store = connect(url, stop, {});
    if (!store)
        return store;
    const auto layout = db::ensureLayout(*store->session_);
    if (!layout)
        return fail(
            PlantError{PlantError::Kind::Database, "the plant's database: " + layout.error()});
    if (!layout->plant)
        return fail(refused("the plant's layout in its database is missing or older than this "
                            "program's, and this role may not bring it up: run j4_plant as the "
                            "layout's owner, or " J4_SCHEMA_HINT " as the schema's owner"));
    return store;
}

PlantResult<std::string> PlantStore::unitHistory(const std::string& serial, int most) {
    const std::string limit = std::to_string(most);
    const auto history =
        run("SELECT j4_unit_history_json($1, $2::integer)", {serial.c_str(), limit.c_str()});
    if (!history)
        return fail(history.error());
    return db::text(*history, 0, 0);
}

PlantResult<db::QueryResult> PlantStore::run(const std::string& sql,
                                             const std::vector<const char*>& values) {
    auto result = session_->run(sql, values);
    if (!result)
        return fail(PlantError{session_->refusedOnItsMerits() ? PlantError::Kind::Refused
                                                              : PlantError::Kind::Database,
                               result.error()});
    return std::move(*result);
}

PlantResult<ReleaseAdded> PlantStore::addRelease(const Release& release, const std::string& by) {
    const std::string file = db::byteaText(session_->connection(), release.file);
    const auto added = run("SELECT j4_add_release($1, $2::bytea, $3, $4, $5, $6, $7)",
                           {release.sha256.c_str(), file.c_str(), release.signature.c_str(),
                            orNull(release.version), release.keyId.c_str(),
                            release.trustedComment.c_str(), by.c_str()});
    if (!added)
        return fail(added.error());
    const std::string how = db::text(*added, 0, 0);
    return how == "added"    ? ReleaseAdded::Added
           : how == "signed" ? ReleaseAdded::SignedAnew
                             : ReleaseAdded::AlreadyThere;
}

PlantResult<std::vector<ReleaseRow>> PlantStore::releases() {
    const auto found = run("SELECT * FROM j4_release_list()");
    if (!found)
        return fail(found.error());
    std::vector<ReleaseRow> rows;
    for (int row = 0; row < PQntuples(found->get()); ++row)
        rows.push_back({db::text(*found, row, 0), db::text(*found, row, 1),
                        db::text(*found, row, 2), db::text(*found, row, 3),
                        db::text(*found, row, 4)});
    return rows;
}

PlantResult<std::string> PlantStore::releaseFor(const std::string& versionOrSha) {
    const auto found = run("SELECT j4_releases_named($1)", {versionOrSha.c_str()});
    if (!found)
        return fail(found.error());
    const int rows = PQntuples(found->get());
    if (rows == 0)
        return fail(refused("no release " + versionOrSha +
                            " in the plant's database: add it with j4_plant release add"));
    if (rows > 1)
        return fail(refused("several releases have version " + versionOrSha +
                            ": name the one meant by its SHA-256"));
    return db::text(*found, 0, 0);
}

PlantResult<Assigned> PlantStore::assign(const Assignment& assignment, const std::string& by) {
    auto sha = releaseFor(assignment.release);
    if (!sha)
        return fail(sha.error());
    const std::string quantity = std::to_string(assignment.quantity);
    const bool ruled = assignment.stop && assignment.stop->failures > 0;
    const std::string failures = ruled ? std::to_string(assignment.stop->failures) : std::string();
    const std::string window = ruled ? std::to_string(assignment.stop->window) : std::string();
    const char* wholeLine = !ruled || assignment.stop->wholeLine ? "true" : "false";
    // A correction of the quantity or the work order keeps the line's
    // failure rule unless another is given.
    const char* keepRule = assignment.stop ? "false" : "true";
    const auto made =
        run("SELECT * FROM j4_assign($1, $2, $3, $4, $5, $6::integer, $7::integer, $8::integer, "
            "$9::boolean, $10, $11::boolean)",
            {assignment.line.c_str(), sha->c_str(), orNull(assignment.partNumber),
             assignment.workOrder.c_str(), orNull(assignment.lot), quantity.c_str(),
             orNull(failures), orNull(window), wholeLine, by.c_str(), keepRule});
    if (!made)
        return fail(made.error());
    Assigned assigned{std::move(*sha), db::text(*made, 0, 3), std::nullopt};
    if (!db::text(*made, 0, 0).empty())
        assigned.stop =
            StopRule{std::atoi(db::text(*made, 0, 0).c_str()),
                     std::atoi(db::text(*made, 0, 1).c_str()), db::text(*made, 0, 2) == "t"};
    return assigned;
}

PlantResult<std::vector<LineStatus>> PlantStore::status(const std::string& line) {
    // The line's stations from the counts the database keeps, not from a
    // scan of its records: caught up first.
    if (const auto counted = run("SELECT j4_counts_caught_up()", {}); !counted)
        return fail(counted.error());
    const auto found = run("SELECT * FROM j4_line_status($1)", {orNull(line)});
    if (!found)
        return fail(found.error());
    std::vector<LineStatus> lines;
    for (int row = 0; row < PQntuples(found->get()); ++row) {
        LineStatus status;
        status.line = db::text(*found, row, 0);
        status.version = db::text(*found, row, 1);
        status.sha256 = db::text(*found, row, 2);
        status.workOrder = db::text(*found, row, 3);
        status.lot = db::text(*found, row, 4);
        status.partNumber = db::text(*found, row, 5);
        status.quantity = std::stoll(db::text(*found, row, 6));
        status.done = std::stoll(db::text(*found, row, 7));
        if (!PQgetisnull(found->get(), row, 8))
            status.stop =
                StopRule{std::stoi(db::text(*found, row, 8)), std::stoi(db::text(*found, row, 9)),
                         db::text(*found, row, 10) == "t"};
        status.assignedBy = db::text(*found, row, 11);
        status.assigned = db::text(*found, row, 12);
        status.heldBecause = db::text(*found, row, 13);
        status.refused = db::text(*found, row, 15);
        const std::string stations = db::text(*found, row, 14);
        for (std::size_t start = 0; start < stations.size();) {
            const auto comma = std::min(stations.find(',', start), stations.size());
            status.stations.push_back(stations.substr(start, comma - start));
            start = comma + 1;
        }
        lines.push_back(std::move(status));
    }
    if (!line.empty() && lines.empty())
        return fail(
            refused("line " + line + " has no assignment: give it one with j4_plant assign"));
    return lines;
}

PlantResult<Done> PlantStore::knownLine(const std::string& line) {
    const auto known = run("SELECT coalesce(bool_or(l = $1), false), string_agg(l, ', ') "
                           "FROM j4_known_lines() l",
                           {line.c_str()});
    if (!known)
        return fail(known.error());
    if (db::text(*known, 0, 0) == "t")
        return Done{};
    const std::string lines = db::text(*known, 0, 1);
    return fail(refused(
        "the plant has no line " + line +
        (lines.empty() ? std::string(": no line is assigned yet") : "; its lines are " + lines)));
}

PlantResult<Done> PlantStore::hold(const std::string& line, const std::string& reason,
                                   const std::string& by) {
    if (auto known = knownLine(line); !known)
        return fail(known.error());
    const auto held = run("SELECT j4_hold($1, $2, $3)", {line.c_str(), reason.c_str(), by.c_str()});
    if (!held)
        return fail(held.error());
    return Done{};
}

PlantResult<bool> PlantStore::resume(const std::string& line) {
    if (auto known = knownLine(line); !known)
        return fail(known.error());
    const auto lifted = run("SELECT j4_resume($1)", {line.c_str()});
    if (!lifted)
        return fail(lifted.error());
    return db::text(*lifted, 0, 0) == "t";
}

} // namespace j4::plant
