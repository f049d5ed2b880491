// The embedded SQL runtime on SQLite: the service name is the path of an existing database
// file, which plays the schema QRSCHEMA.
//
// Connect text: "user/password@service". The service is the text after the LAST "@" (so a
// password may contain "@", a path may not); user name and password are not checked. The file
// is never created: a missing, unreadable or non-database file fails with -12154, a file that
// can only be opened read-only with -16000.
#ifndef DORNVIK_SQLITEENGINE_H_
#define DORNVIK_SQLITEENGINE_H_

#include <ctime>
#include <functional>
#include <memory>
#include <string>

class SqlRuntime;

// The clock that SYSDATE and SYSTIMESTAMP read (seconds since the epoch, local time applied
// by the engine). Tests pass a fixed one.
using SqliteClock = std::function<std::time_t()>;

// How long a statement waits for another connection's lock before it fails with -54.
constexpr int kSqliteBusyTimeoutMs = 30000;

std::unique_ptr<SqlRuntime> NewSqliteRuntime(SqliteClock clock = {},
                                             int busyTimeoutMs = kSqliteBusyTimeoutMs);

// Translates one statement text of the program into SQLite's dialect (exposed for tests).
std::string SqliteTranslate(const std::string& oracleText);

#endif  // DORNVIK_SQLITEENGINE_H_
