// The embedded SQL runtime on PostgreSQL through libpq.
//
// The service of the CONNECT text is a libpq service name (a section of the service file) or
// host[:port]/dbname. An unquoted user name folds to lower case as Oracle's does; a quoted one
// ("Name") is taken as written. The session talks Windows-1252 with the server. After the
// connect one transaction is open; each statement runs behind a savepoint so that a failing one
// is undone alone, as in Oracle, and the rest of the transaction stays for the commit.
#ifndef DORNVIK_PGENGINE_H_
#define DORNVIK_PGENGINE_H_

#include <memory>
#include <string>

class SqlRuntime;

std::unique_ptr<SqlRuntime> NewPgRuntime();

// Opens a libpq connection from a CONNECT text "user/password@service" as the engine does. On
// failure returns null with the Oracle code in `sqlcode` and libpq's message in `message`.
struct pg_conn;
pg_conn* PgConnectText(const char* connectText, int* sqlcode, std::string* message);

#endif  // DORNVIK_PGENGINE_H_
