#pragma once
// A benchmark's own libpq connection: any failure ends the run, said.

#include <libpq-fe.h>

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace j4::bench {

struct ConnectionClose {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionClose>;

inline Connection connect(const QString& url) {
    Connection connection(PQconnectdb(url.toStdString().c_str()));
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        std::fprintf(stderr, "cannot connect: %s", PQerrorMessage(connection.get()));
        std::exit(1);
    }
    return connection;
}

// Runs `sql`; the first value of its last result. Any error ends the run.
inline std::string exec(PGconn* connection, const std::string& sql) {
    PGresult* result = PQexec(connection, sql.c_str());
    const auto status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        std::fprintf(stderr, "%s\nfailed: %s", sql.c_str(), PQerrorMessage(connection));
        std::exit(1);
    }
    std::string value = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    PQclear(result);
    return value;
}

} // namespace j4::bench
