// Direct access to the tests' databases, beside the program's own runtime: statements on a
// connection of their own, committed at once.
#ifndef DORNVIK_TEST_DB_H_
#define DORNVIK_TEST_DB_H_

#include <string>
#include <vector>

using Rows = std::vector<std::vector<std::string>>;

// Runs `sql` (one or more statements) on the SQLite file `path`.
void SqliteExec(const std::string& path, const std::string& sql);
// The rows of one query, every value as text and NULL as `nullText`.
Rows SqliteRows(const std::string& path, const std::string& sql, const std::string& nullText);

#ifdef DORNVIK_HAVE_PG
// The same on the PostgreSQL server named by the libpq connection string `conninfo`.
Rows PgRows(const std::string& conninfo, const std::string& sql, const std::string& nullText);
#endif

#endif  // DORNVIK_TEST_DB_H_
