#include "plant_store.h"

#include <charconv>

namespace j4::plant {
namespace {

PlantError refused(std::string text) {
    return {PlantError::Kind::Refused, std::move(text)};
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "\\x";
    text.reserve(2 + bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

std::string value(const records::QueryResult& result, int row, int column) {
    return PQgetisnull(result.get(), row, column) ? std::string()
                                                  : PQgetvalue(result.get(), row, column);
}

const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

bool isSha256(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
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

PlantResult<PlantStore> PlantStore::open(const std::string& url, const std::atomic<bool>* stop) {
    if (const auto checked = records::checkConnectionUri(url, "--records"); !checked)
        return fail(refused(checked.error()));
    auto session = records::PqSession::open(url, stop, {});
    if (!session)
        return fail(PlantError{PlantError::Kind::Database,
                               "cannot reach the plant's database (" + session.error() + ")"});
    const auto layout = records::ensureLayout(**session);
    if (!layout)
        return fail(
            PlantError{PlantError::Kind::Database, "the plant's database: " + layout.error()});
    if (!layout->plant)
        return fail(refused("the plant's tables are not in its database, and this role may not "
                            "make them: run " J4_SCHEMA_HINT " as the schema's owner"));
    return PlantStore(std::move(*session));
}

PlantResult<records::QueryResult> PlantStore::run(const std::string& sql,
                                                  const std::vector<const char*>& values) {
    auto result = session_->run(sql, values);
    if (!result)
        return fail(PlantError{session_->refusedOnItsMerits() ? PlantError::Kind::Refused
                                                              : PlantError::Kind::Database,
                               result.error()});
    return std::move(*result);
}

PlantResult<ReleaseAdded> PlantStore::addRelease(const Release& release, const std::string& by) {
    const std::string file = hexOf(release.file);
    // The same file signed by another key (a key rotated) takes the new
    // signature: stations that trust only the new key can follow it.
    const auto added = run(
        "WITH added AS (INSERT INTO j4_releases (file_sha256, file, signature, version, key_id, "
        "trusted_comment, added_by) VALUES ($1, $2::bytea, $3, $4, $5, $6, $7) "
        "ON CONFLICT (file_sha256) DO NOTHING RETURNING 'added'::text AS how), "
        "signed AS (UPDATE j4_releases SET signature = $3, version = $4, key_id = $5, "
        "trusted_comment = $6 WHERE file_sha256 = $1 AND key_id <> $5 AND NOT EXISTS "
        "(SELECT FROM added) RETURNING 'signed'::text AS how) "
        "SELECT how FROM added UNION ALL SELECT how FROM signed",
        {release.sha256.c_str(), file.c_str(), release.signature.c_str(), orNull(release.version),
         release.keyId.c_str(), release.trustedComment.c_str(), by.c_str()});
    if (!added)
        return fail(added.error());
    const std::string how = PQntuples(added->get()) == 1 ? value(*added, 0, 0) : std::string();
    return how == "added"    ? ReleaseAdded::Added
           : how == "signed" ? ReleaseAdded::SignedAnew
                             : ReleaseAdded::AlreadyThere;
}

PlantResult<std::vector<ReleaseRow>> PlantStore::releases() {
    const auto found =
        run("SELECT version, file_sha256, key_id, added_by, to_char(added AT TIME ZONE 'UTC', "
            "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') FROM j4_releases ORDER BY added, file_sha256");
    if (!found)
        return fail(found.error());
    std::vector<ReleaseRow> rows;
    for (int row = 0; row < PQntuples(found->get()); ++row)
        rows.push_back({value(*found, row, 0), value(*found, row, 1), value(*found, row, 2),
                        value(*found, row, 3), value(*found, row, 4)});
    return rows;
}

PlantResult<std::string> PlantStore::releaseFor(const std::string& versionOrSha) {
    const bool bySha = isSha256(versionOrSha);
    const auto found = run(bySha ? "SELECT file_sha256 FROM j4_releases WHERE file_sha256 = $1"
                                 : "SELECT file_sha256 FROM j4_releases WHERE version = $1 "
                                   "ORDER BY added",
                           {versionOrSha.c_str()});
    if (!found)
        return fail(found.error());
    const int rows = PQntuples(found->get());
    if (rows == 0)
        return fail(refused("no release " + versionOrSha +
                            " in the plant's database: add it with j4_plant release add"));
    if (rows > 1)
        return fail(refused("several releases have version " + versionOrSha +
                            ": name the one meant by its SHA-256"));
    return value(*found, 0, 0);
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
    records::QueryResult made;
    // One transaction, the line's lock held: two assignments of one line at
    // once leave exactly one of them active.
    auto steps = [&]() -> PlantResult<Done> {
        for (const auto& [sql, values] :
             std::vector<std::pair<std::string, std::vector<const char*>>>{
                 {"BEGIN", {}},
                 {"SELECT pg_advisory_xact_lock(hashtext('j4_line:' || $1))",
                  {assignment.line.c_str()}},
                 {"UPDATE j4_assignments SET active = false WHERE line = $1 AND active",
                  {assignment.line.c_str()}},
                 {"INSERT INTO j4_assignments (line, file_sha256, part_number, work_order, lot, "
                  "quantity, stop_failures, stop_window, stop_whole_line, assigned_by) "
                  "SELECT $1, $2, $3, $4, $5, $6::integer, "
                  "CASE WHEN $11::boolean THEN p.stop_failures ELSE $7::integer END, "
                  "CASE WHEN $11::boolean THEN p.stop_window ELSE $8::integer END, "
                  "CASE WHEN $11::boolean THEN COALESCE(p.stop_whole_line, true) ELSE "
                  "$9::boolean END, $10 "
                  "FROM (SELECT) one LEFT JOIN LATERAL (SELECT * FROM j4_assignments WHERE line "
                  "= $1 AND NOT active ORDER BY id DESC LIMIT 1) p ON true "
                  "RETURNING stop_failures, stop_window, stop_whole_line, (SELECT version FROM "
                  "j4_releases WHERE file_sha256 = $2)",
                  {assignment.line.c_str(), sha->c_str(), orNull(assignment.partNumber),
                   assignment.workOrder.c_str(), orNull(assignment.lot), quantity.c_str(),
                   orNull(failures), orNull(window), wholeLine, by.c_str(), keepRule}},
                 {"COMMIT", {}}}) {
            auto done = run(sql, values);
            if (!done)
                return fail(done.error());
            if (sql.starts_with("INSERT"))
                made = std::move(*done);
        }
        return Done{};
    };
    if (auto done = steps(); !done) {
        static_cast<void>(session_->run("ROLLBACK"));
        return fail(done.error());
    }
    Assigned assigned{std::move(*sha), value(made, 0, 3), std::nullopt};
    if (!value(made, 0, 0).empty())
        assigned.stop = StopRule{std::atoi(value(made, 0, 0).c_str()),
                                 std::atoi(value(made, 0, 1).c_str()), value(made, 0, 2) == "t"};
    return assigned;
}

PlantResult<std::vector<LineStatus>> PlantStore::status(const std::string& line) {
    // The line's stations from the counts the database keeps, not from a
    // scan of its records: caught up first.
    if (const auto counted = run("SELECT j4_counts_caught_up()", {}); !counted)
        return fail(counted.error());
    const auto found = run(
        "SELECT a.line, r.version, a.file_sha256, a.work_order, a.lot, a.part_number, a.quantity, "
        "(j4_work_order_counts(a.work_order)).done, "
        "a.stop_failures, a.stop_window, a.assigned_by, "
        "to_char(a.assigned AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), "
        "(SELECT CASE h.station WHEN '' THEN h.reason ELSE 'station ' || h.station || ': ' || "
        "h.reason END FROM j4_holds h WHERE h.line = a.line ORDER BY h.station LIMIT 1), "
        "(SELECT string_agg(s.station, ',' ORDER BY s.station) FROM j4_station_last s "
        "WHERE s.line = a.line), a.stop_whole_line, j4_line_refused(a.line) "
        "FROM j4_assignments a JOIN j4_releases r USING (file_sha256) "
        "WHERE a.active AND ($1::text IS NULL OR a.line = $1) ORDER BY a.line",
        {orNull(line)});
    if (!found)
        return fail(found.error());
    std::vector<LineStatus> lines;
    for (int row = 0; row < PQntuples(found->get()); ++row) {
        LineStatus status;
        status.line = value(*found, row, 0);
        status.version = value(*found, row, 1);
        status.sha256 = value(*found, row, 2);
        status.workOrder = value(*found, row, 3);
        status.lot = value(*found, row, 4);
        status.partNumber = value(*found, row, 5);
        status.quantity = std::stoll(value(*found, row, 6));
        status.done = std::stoll(value(*found, row, 7));
        if (!PQgetisnull(found->get(), row, 8))
            status.stop = StopRule{std::stoi(value(*found, row, 8)),
                                   std::stoi(value(*found, row, 9)), value(*found, row, 14) == "t"};
        status.assignedBy = value(*found, row, 10);
        status.assigned = value(*found, row, 11);
        status.heldBecause = value(*found, row, 12);
        status.refused = value(*found, row, 15);
        const std::string stations = value(*found, row, 13);
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
    if (value(*known, 0, 0) == "t")
        return Done{};
    const std::string lines = value(*known, 0, 1);
    return fail(refused(
        "the plant has no line " + line +
        (lines.empty() ? std::string(": no line is assigned yet") : "; its lines are " + lines)));
}

PlantResult<Done> PlantStore::hold(const std::string& line, const std::string& reason,
                                   const std::string& by) {
    if (auto known = knownLine(line); !known)
        return fail(known.error());
    const auto held = run("INSERT INTO j4_holds (line, station, reason, held_by) "
                          "VALUES ($1, '', $2, $3) ON CONFLICT (line, station) DO UPDATE SET "
                          "reason = EXCLUDED.reason, held_by = EXCLUDED.held_by, held = now()",
                          {line.c_str(), reason.c_str(), by.c_str()});
    if (!held)
        return fail(held.error());
    return Done{};
}

PlantResult<bool> PlantStore::resume(const std::string& line) {
    if (auto known = knownLine(line); !known)
        return fail(known.error());
    const auto lifted = run("DELETE FROM j4_holds WHERE line = $1 RETURNING line", {line.c_str()});
    if (!lifted)
        return fail(lifted.error());
    return PQntuples(lifted->get()) > 0;
}

} // namespace j4::plant
