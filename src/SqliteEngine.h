// The embedded SQL runtime on SQLite: the service name is the path of an existing database
// file, which plays the schema QRSCHEMA.
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

std::unique_ptr<SqlRuntime> NewSqliteRuntime(SqliteClock clock = {});

// Translates one statement text of the program into SQLite's dialect (exposed for tests).
std::string SqliteTranslate(const std::string& oracleText);

#endif  // DORNVIK_SQLITEENGINE_H_
