#include "test_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#ifdef DORNVIK_HAVE_PG
#include <libpq-fe.h>
#endif

namespace {

sqlite3* OpenSqlite(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(db, 10000);
  return db;
}

}  // namespace

void SqliteExec(const std::string& path, const std::string& sql) {
  sqlite3* db = OpenSqlite(path);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << sql.substr(0, 200) << ": " << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

Rows SqliteRows(const std::string& path, const std::string& sql, const std::string& nullText) {
  sqlite3* db = OpenSqlite(path);
  sqlite3_stmt* st = nullptr;
  Rows rows;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      const unsigned char* v = sqlite3_column_text(st, i);
      row.push_back(v ? reinterpret_cast<const char*>(v) : nullText);
    }
    rows.push_back(row);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

#ifdef DORNVIK_HAVE_PG
Rows PgRows(const std::string& conninfo, const std::string& sql, const std::string& nullText) {
  PGconn* conn = PQconnectdb(conninfo.c_str());
  Rows rows;
  EXPECT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
  PGresult* res = PQexec(conn, sql.c_str());
  ExecStatusType st = PQresultStatus(res);
  EXPECT_TRUE(st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK)
      << sql.substr(0, 200) << ": " << PQerrorMessage(conn);
  for (int r = 0; st == PGRES_TUPLES_OK && r < PQntuples(res); ++r) {
    std::vector<std::string> row;
    for (int c = 0; c < PQnfields(res); ++c) {
      row.push_back(PQgetisnull(res, r, c) ? nullText : PQgetvalue(res, r, c));
    }
    rows.push_back(row);
  }
  PQclear(res);
  PQfinish(conn);
  return rows;
}
#endif
