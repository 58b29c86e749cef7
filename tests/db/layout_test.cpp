// The database's layout against a real PostgreSQL: a database made by each
// released layout comes up to the newest with its rows and counts, and ends
// as one made by the steps does; what a database administrator runs by hand
// is what the programs make.
#include "layout.h"
#include "processes.h"

#include <gtest/gtest.h>

#include <QFile>

#include <atomic>
#include <thread>
#include <vector>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}
QT_END_NAMESPACE

namespace {

// Each schema of a released layout, with the last commit that made it: the
// scripts that databases were made by, read from the project's history.
struct Released {
    const char* commit;
    int plant; // j4_schema.plant; 0: the records' first layout, which has none
};
constexpr Released kReleased[] = {{"4958305", 0}, {"3901579", 1}, {"b99740c", 2},
                                  {"447645f", 3}, {"9434c2f", 4}, {"0c9c6a2", 5}};
const QString kSchema = QStringLiteral("j4_layout_test");

class Layout : public ::testing::Test {
protected:
    void SetUp() override {
        if (!j4::testing::TestDatabase::available())
            GTEST_SKIP() << "not beside a PostgreSQL server (tests/support/with_postgres.sh)";
        database.query("DROP SCHEMA IF EXISTS " + kSchema + " CASCADE; CREATE SCHEMA " + kSchema);
    }
    void TearDown() override { database.query("DROP SCHEMA IF EXISTS " + kSchema + " CASCADE"); }

    QString query(const QString& sql) const {
        return database.query("SET search_path TO " + kSchema + ";\n" + sql);
    }
    j4::Result<j4::db::Layout> ensure() const {
        auto session = j4::db::PqSession::open(
            database.url("options=-csearch_path%3D" + kSchema).toStdString(), nullptr, {});
        if (!session)
            return j4::fail(session.error());
        return j4::db::ensureLayout(**session);
    }
    // Tables and their columns, views, and functions with their arguments:
    // what a layout is, whichever way it was made.
    QString shape() const {
        return query(
            "SELECT string_agg(x, E'\\n' ORDER BY x) FROM ("
            "SELECT table_name || '.' || column_name || ' ' || data_type AS x "
            "FROM information_schema.columns WHERE table_schema = '" +
            kSchema +
            "' "
            "UNION ALL SELECT p.proname || '(' || pg_get_function_identity_arguments(p.oid) "
            "|| ')' FROM pg_proc p JOIN pg_namespace n ON n.oid = p.pronamespace "
            "WHERE n.nspname = '" +
            kSchema +
            "' "
            "UNION ALL SELECT conname || ' ' || pg_get_constraintdef(c.oid) FROM "
            "pg_constraint c JOIN pg_namespace n ON n.oid = c.connamespace "
            "WHERE n.nspname = '" +
            kSchema +
            "' "
            "UNION ALL SELECT indexname FROM pg_indexes WHERE schemaname = '" +
            kSchema +
            "' UNION ALL SELECT tgname FROM pg_trigger t JOIN pg_class c ON "
            "c.oid = t.tgrelid JOIN pg_namespace n ON n.oid = c.relnamespace "
            "WHERE n.nspname = '" +
            kSchema + "' AND NOT t.tgisinternal) s");
    }
    // Two units: one failed first and then passed, one passed at once.
    void insertAttempts() const {
        query("INSERT INTO j4_attempts (attempt, station, unit, started, ended, file, outcome, "
              "transmissions, record) VALUES "
              "('00000000-0000-4000-8000-000000000001', 's1', 'U1', now() - interval '3 min', "
              "now() - interval '3 min', 'a.j4u', 'rejected_four_times', 9, '{}'), "
              "('00000000-0000-4000-8000-000000000002', 's1', 'U1', now() - interval '2 min', "
              "now() - interval '2 min', 'a.j4u', 'completed', 9, '{}'), "
              "('00000000-0000-4000-8000-000000000003', 's2', 'U2', now() - interval '1 min', "
              "now() - interval '1 min', 'a.j4u', 'completed', 9, '{}')");
    }
    void insertPlant() const {
        query("INSERT INTO j4_releases (file_sha256, file, signature, key_id, added_by) VALUES "
              "(repeat('a', 64), '\\x01', 'sig', 'KEY', 'test');"
              "INSERT INTO j4_assignments (line, file_sha256, work_order, quantity, assigned_by) "
              "VALUES ('L1', repeat('a', 64), 'WO-1', 5, 'test');"
              "INSERT INTO j4_claims (attempt, assignment, station, expires, state) VALUES "
              "('00000000-0000-4000-8000-000000000002', 1, 's1', now(), 'completed');"
              "INSERT INTO j4_holds (line, reason, held_by) VALUES ('L1', 'a bad batch', 'test')");
    }
    QString rows() const {
        return query("SELECT (SELECT count(*) FROM j4_attempts) || ' ' || "
                     "(SELECT count(*) FROM j4_releases) || ' ' || "
                     "(SELECT count(*) FROM j4_assignments) || ' ' || "
                     "(SELECT count(*) FROM j4_claims) || ' ' || (SELECT count(*) FROM j4_holds)");
    }
    QString madeByTheSteps() {
        EXPECT_TRUE(ensure());
        const QString made = shape();
        database.query("DROP SCHEMA " + kSchema + " CASCADE; CREATE SCHEMA " + kSchema);
        return made;
    }

    j4::testing::TestDatabase database;
};

TEST_F(Layout, ADatabaseOfEachReleasedLayoutComesUpToTheNewestWithItsRowsAndCounts) {
    const QString newest = madeByTheSteps();
    ASSERT_FALSE(newest.isEmpty());
    const int steps = static_cast<int>(j4::db::layoutFiles().steps.size());
    for (const Released& released : kReleased) {
        SCOPED_TRACE(released.commit);
        const auto script = j4::testing::runProgram(
            QStringLiteral("git"),
            {QStringLiteral("-C"), QStringLiteral(J4_SOURCE_DIR), QStringLiteral("show"),
             QString(released.commit) + ":records/records_schema.sql"});
        if (script.exitCode != 0)
            GTEST_SKIP() << "the project's history is not here: " << script.err.toStdString();
        query(script.out);
        insertAttempts();
        if (released.plant >= 1)
            insertPlant();
        const QString before = released.plant >= 1 ? rows() : QStringLiteral("3 0 0 0 0");

        const auto layout = ensure();
        ASSERT_TRUE(layout) << layout.error();
        EXPECT_TRUE(layout->plant);
        EXPECT_EQ(shape(), newest);
        EXPECT_EQ(query("SELECT version, plant FROM j4_schema"), "1|" + QString::number(steps - 1));
        EXPECT_EQ(query("SELECT count(*), max(step) FROM j4_layout_steps"),
                  QString("%1|%1").arg(steps));
        EXPECT_EQ(rows(), before);
        // Counted once, whether the counts came with this run or before it.
        query("SELECT j4_counts_caught_up()");
        EXPECT_EQ(query("SELECT sum(units), sum(first_pass), sum(completed) FROM j4_yield"),
                  "2|1|2");
        EXPECT_EQ(query("SELECT sum(attempts) FROM j4_failures"), "1");
        database.query("DROP SCHEMA " + kSchema + " CASCADE; CREATE SCHEMA " + kSchema);
    }
}

TEST_F(Layout, ChangedFunctionsAreReplayedAndTheAdministratorsScriptIsWhatTheProgramsMake) {
    // Programs starting together on an empty database make it once.
    std::vector<std::thread> starting;
    std::atomic<int> made{0};
    for (int n = 0; n < 4; ++n)
        starting.emplace_back([&] { made += ensure() ? 1 : 0; });
    for (auto& program : starting)
        program.join();
    EXPECT_EQ(made, 4);
    EXPECT_EQ(query("SELECT count(*) = max(step) FROM j4_layout_steps"), "t");
    const QString newest = shape();
    database.query("DROP SCHEMA " + kSchema + " CASCADE; CREATE SCHEMA " + kSchema);

    QFile script(QStringLiteral(J4_SCHEMA_SQL));
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    query(QString::fromUtf8(script.readAll()));
    EXPECT_EQ(shape(), newest);
    const QString replayed = query("SELECT replayed FROM j4_layout_replayed");
    ASSERT_TRUE(ensure());
    EXPECT_EQ(query("SELECT replayed FROM j4_layout_replayed"), replayed); // nothing to do

    // Functions of another release (here: one lost) are replayed; the steps
    // are not applied again, and the rows stay.
    insertAttempts();
    query("DROP FUNCTION j4_known_lines(); UPDATE j4_layout_replayed SET sha256 = 'other'");
    ASSERT_TRUE(ensure());
    EXPECT_EQ(shape(), newest);
    EXPECT_EQ(query("SELECT count(*) FROM j4_attempts"), "3");

    // A database of a newer release's steps is left as it is.
    query("INSERT INTO j4_layout_steps VALUES (999, '0999_later', 'x'); "
          "UPDATE j4_layout_replayed SET sha256 = 'later'");
    const auto later = ensure();
    ASSERT_TRUE(later) << later.error();
    EXPECT_EQ(query("SELECT sha256 FROM j4_layout_replayed"), "later");
}

// The functions the programs call, asked directly: a line's look, a claim
// and its settling up to the failure rule's hold, the hold as said, resume,
// a unit's history.
TEST_F(Layout, TheFunctionsTheProgramsCallAnswerAsTheyExpect) {
    ASSERT_TRUE(ensure());
    insertAttempts();
    query("INSERT INTO j4_releases (file_sha256, file, signature, key_id, added_by) VALUES "
          "(repeat('a', 64), '\\x01', 'sig', 'KEY', 'test');"
          "INSERT INTO j4_assignments (line, file_sha256, work_order, quantity, stop_failures, "
          "stop_window, stop_whole_line, assigned_by) "
          "VALUES ('L1', repeat('a', 64), 'WO-1', 2, 2, 2, false, 'test')");
    const QString id = query("SELECT id FROM j4_assignments");
    EXPECT_EQ(query("SELECT * FROM j4_line_look('L1', 's1')"), id + "|2|0|");
    EXPECT_EQ(query("SELECT count(*) FROM j4_line_look('L2', 's1')"), "0");

    const auto claim = [&](int n, const char* station) {
        return query(QString("SELECT verdict, done, reason FROM j4_claim('L1', "
                             "'00000000-0000-4000-8000-00000000010%1', '%2', 20)")
                         .arg(n)
                         .arg(station));
    };
    const auto settle = [&](int n, bool completed) {
        return query(QString("SELECT j4_settle('00000000-0000-4000-8000-00000000010%1', %2)")
                         .arg(n)
                         .arg(completed ? "true" : "false"));
    };
    EXPECT_EQ(claim(1, "s1"), "claimed|0|");
    EXPECT_EQ(settle(1, true), "");
    EXPECT_EQ(claim(2, "s1"), "claimed|1|");
    EXPECT_EQ(settle(2, false), "");
    EXPECT_EQ(claim(3, "s1"), "claimed|1|");
    // The second failure in a row holds the station alone, as its rule says.
    EXPECT_EQ(settle(3, false), "station s1: 2 failures in the last 2 attempts");
    EXPECT_EQ(query("SELECT j4_held('L1', 's1')"), "station s1: 2 failures in the last 2 attempts");
    EXPECT_EQ(query("SELECT j4_held('L1', 's2')"), "");
    EXPECT_EQ(claim(4, "s1"), "held|1|station s1: 2 failures in the last 2 attempts");
    EXPECT_EQ(claim(5, "s2"), "claimed|1|");
    EXPECT_EQ(query("SELECT j4_hold_text('', 'a bad batch')"), "a bad batch");

    EXPECT_EQ(query("SELECT j4_resume('L1')"), "t");
    EXPECT_EQ(query("SELECT j4_resume('L1')"), "f");
    EXPECT_EQ(query("SELECT j4_held('L1', 's1')"), "");

    EXPECT_EQ(query("SELECT json_array_length(j4_unit_history_json('U1', 10)), "
                    "j4_unit_history_json('U1', 1) -> 0 ->> 'outcome'"),
              "2|completed");
    EXPECT_EQ(query("SELECT j4_unit_history_json('none', 10)::text"), "[]");
}

} // namespace
