#pragma once
// What a benchmark beside the test's PostgreSQL starts from: the server, a
// folder of its own, and the 200-frame update file the stations send.

#include "processes.h"
#include "update_files.h"

#include <QCoreApplication>
#include <QTemporaryDir>

namespace j4::bench {

struct BesideDatabase {
    // False, with how to run it, when not beside a server.
    static bool available() { return j4::testing::TestDatabase::availableOrSaid(); }
    QString updateFile() const {
        return j4::testing::writeUpdateFile(dir.filePath(QStringLiteral("u.j4u")),
                                            j4::testing::makeImage(200, 64));
    }

    j4::testing::TestDatabase database;
    QTemporaryDir dir;
};

// A benchmark's main: `measure` run beside the server, its status returned;
// 1 when not beside one.
inline int besideDatabase(int argc, char** argv, int (*measure)(BesideDatabase&)) {
    QCoreApplication app(argc, argv);
    if (!BesideDatabase::available())
        return 1;
    BesideDatabase bench;
    return measure(bench);
}

} // namespace j4::bench
