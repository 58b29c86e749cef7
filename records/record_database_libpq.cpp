#include "layout.h"
#include "live_state.h"
#include "module_entry.h"
#include "pq_session.h"
#include "record_database.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>

namespace j4::records {
namespace {

class PostgresRecords final : public RecordDatabase {
public:
    explicit PostgresRecords(std::unique_ptr<db::PqSession> session)
        : session_(std::move(session)) {}

    Result<Done> makeSchema();
    Result<std::size_t, InsertFailure> insert(std::span<const Record> records) override;
    Result<Done, InsertFailure> reportLive(const LiveState& state) override;

private:
    Result<Done> readColumns();
    std::string insertStatement(std::size_t rows) const;

    std::unique_ptr<db::PqSession> session_;
    std::vector<bool> present_; // which of the record's columns the table has
};

// A role that may only insert records cannot extend the layout: its
// records go on into the columns the table has.
Result<Done> PostgresRecords::makeSchema() {
    if (const auto layout = db::ensureLayout(*session_); !layout)
        return fail(layout.error());
    return readColumns();
}

Result<Done> PostgresRecords::readColumns() {
    const auto columns = session_->run(
        "SELECT column_name FROM information_schema.columns "
        "WHERE table_name = 'j4_attempts' AND table_schema = ANY (current_schemas(false))");
    if (!columns)
        return fail("its records table cannot be read (" + columns.error() + ")");
    std::vector<std::string> names;
    for (int row = 0; row < PQntuples(columns->get()); ++row)
        names.emplace_back(PQgetvalue(columns->get(), row, 0));
    if (names.empty())
        return fail("it has no records table, and this station may not make one");
    present_.clear();
    for (const RecordColumn& column : recordColumns())
        present_.push_back(std::find(names.begin(), names.end(), column.name) != names.end());
    return Done{};
}

std::string PostgresRecords::insertStatement(std::size_t rows) const {
    const auto& columns = recordColumns();
    std::string sql = "INSERT INTO j4_attempts (";
    bool first = true;
    for (std::size_t c = 0; c < columns.size(); ++c)
        if (present_[c]) {
            sql += (first ? "" : ", ") + std::string(columns[c].name);
            first = false;
        }
    sql += ") VALUES ";
    int parameter = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        sql += r ? ", (" : "(";
        first = true;
        for (std::size_t c = 0; c < columns.size(); ++c)
            if (present_[c]) {
                sql +=
                    (first ? "$" : ", $") + std::to_string(++parameter) + "::" + columns[c].sqlType;
                first = false;
            }
        sql += ")";
    }
    return sql + " ON CONFLICT (attempt) DO NOTHING RETURNING attempt";
}

Result<std::size_t, RecordDatabase::InsertFailure>
PostgresRecords::insert(std::span<const Record> records) {
    if (records.empty())
        return std::size_t{0};
    std::vector<const char*> values;
    for (const Record& record : records)
        for (std::size_t c = 0; c < record.values.size(); ++c)
            if (present_[c])
                values.push_back(record.values[c] ? record.values[c]->c_str() : nullptr);
    auto inserted = session_->run(insertStatement(records.size()), values);
    if (!inserted)
        return fail(InsertFailure{inserted.error(), session_->refusedOnItsMerits()});
    return static_cast<std::size_t>(PQntuples(inserted->get()));
}

// One statement: the heartbeat (whose trigger tells the listeners) and the
// slots' rows, each as the station last saw it.
Result<Done, RecordDatabase::InsertFailure> PostgresRecords::reportLive(const LiveState& state) {
    nlohmann::json rows = nlohmann::json::array();
    for (const SlotState& slot : state.slotStates)
        rows.push_back({{"slot", slot.slot},
                        {"state", slot.state},
                        {"unit", slot.unit.empty() ? nlohmann::json() : nlohmann::json(slot.unit)},
                        {"since_ms", slot.sinceMs}});
    const std::string text = rows.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const auto reported =
        session_->run("SELECT j4_report_live($1, $2, $3, $4, $5::json, $6::boolean)",
                      {state.station.c_str(), state.line.c_str(), state.version.c_str(),
                       state.host.c_str(), text.c_str(), state.stopped ? "true" : "false"});
    if (!reported) {
        // Not allowed (42501), or a layout without the live view (42P01, 42883).
        const std::string state = session_->errorState();
        return fail(InsertFailure{reported.error(),
                                  state == "42501" || state == "42P01" || state == "42883"});
    }
    return Done{};
}

Result<Done> checkAddress(const std::string& url) {
    return db::checkConnectionUri(url, "--records");
}

Result<std::unique_ptr<RecordDatabase>>
openDatabase(const std::string& url, const std::atomic<bool>* stop, RecordDatabase::Bounds bounds) {
    auto session = db::PqSession::open(url, stop, bounds);
    if (!session)
        return fail(session.error());
    auto database = std::make_unique<PostgresRecords>(std::move(*session));
    if (auto schema = database->makeSchema(); !schema)
        return fail(schema.error());
    return std::unique_ptr<RecordDatabase>(std::move(database));
}

} // namespace
} // namespace j4::records

// The module's one entry, found by name when it is loaded.
J4_MODULE_ENTRY const j4::records::RecordDatabaseModule* j4RecordDatabaseModule() {
    static const j4::records::RecordDatabaseModule module{&j4::records::checkAddress,
                                                          &j4::records::openDatabase};
    return &module;
}
