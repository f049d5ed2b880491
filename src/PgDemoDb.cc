#include "PgDemoDb.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "DemoDb.h"
#include "PgEngine.h"

const char kPgBookingTableDdl[] =
    "CREATE SCHEMA IF NOT EXISTS qrschema;\n"
    "CREATE TABLE qrschema.qrv321bew (\n"
    "  BewTID varchar(255), BewLID varchar(5), BewIDN varchar(50), BewSto varchar(8),\n"
    "  BewDtm timestamp(0), BewUhr timestamp(0), BewLfn varchar(3), BewArt varchar(3),\n"
    "  BewTas varchar(2), BewEra varchar(3), BewKze varchar(1), BewBer varchar(1),\n"
    "  BewErq varchar(10), BewKst varchar(30), BewQua varchar(5), BewSrc varchar(3),\n"
    "  BewUkz integer, BewUdt timestamptz, BewDat timestamp(0)\n"
    ");\n"
    "CREATE INDEX qrv321bew_mark ON qrschema.qrv321bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn);\n"
    "CREATE INDEX qrv321bew_order ON qrschema.qrv321bew (BewDtm, BewUhr);\n";

namespace {

constexpr int kColumns = 19;
constexpr const char kColumnList[] =
    "BewTID, BewLID, BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewArt, BewTas, BewEra, BewKze, "
    "BewBer, BewErq, BewKst, BewQua, BewSrc, BewUkz, BewUdt, BewDat";

// One connection whose open transaction is rolled back unless it was committed.
class Session {
 public:
  explicit Session(std::string* error) : error_(error) {}
  ~Session() {
    if (conn_ != nullptr) {
      PQclear(PQexec(conn_, "ROLLBACK"));
      PQfinish(conn_);
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Open(const char* connectText) {
    int code = 0;
    std::string message;
    conn_ = PgConnectText(connectText, &code, &message);
    if (conn_ == nullptr) return Fail("cannot connect (" + std::to_string(code) + "): " + message);
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    return Exec("BEGIN");
  }

  bool Exec(const char* sql) {
    PGresult* result = PQexec(conn_, sql);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    return ok || Fail(PQerrorMessage(conn_));
  }

  bool CreateTable() {
    PGresult* result = PQexec(conn_, "SELECT to_regclass('qrschema.qrv321bew') IS NOT NULL");
    const bool exists = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1 &&
                        PQgetvalue(result, 0, 0)[0] == 't';
    PQclear(result);
    if (exists) return Fail("table qrschema.qrv321bew exists already");
    return Exec(kPgBookingTableDdl);
  }

  PGconn* conn() const { return conn_; }

  bool Fail(const std::string& message) {
    if (error_ != nullptr) *error_ = message;
    return false;
  }

 private:
  PGconn* conn_ = nullptr;
  std::string* error_;
};

// One value in COPY's text format: NULL as \N, the format's special characters escaped.
void AppendCopyValue(const char* text, std::string* out) {
  if (text == nullptr) {
    *out += "\\N";
    return;
  }
  for (const char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case '\\':
        *out += "\\\\";
        break;
      case '\t':
        *out += "\\t";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      default:
        *out += *p;
    }
  }
}

// Copies every row of the SQLite demo database at `path` into the session's table, streamed
// through one COPY.
bool CopyRows(const std::string& path, Session& session) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return session.Fail("cannot read the demo bookings");
  }
  sqlite3_stmt* select = nullptr;
  const std::string query = std::string("SELECT ") + kColumnList + " FROM Qrv321Bew";
  bool ok = sqlite3_prepare_v2(db, query.c_str(), -1, &select, nullptr) == SQLITE_OK;
  const std::string copy = std::string("COPY qrschema.qrv321bew (") + kColumnList + ") FROM STDIN";
  PGresult* started = PQexec(session.conn(), copy.c_str());
  if (PQresultStatus(started) != PGRES_COPY_IN) {
    ok = ok && session.Fail(PQerrorMessage(session.conn()));
    PQclear(started);
    sqlite3_finalize(select);
    sqlite3_close(db);
    return false;
  }
  PQclear(started);
  std::string chunk;
  int rc = SQLITE_ROW;
  while (ok && (rc = sqlite3_step(select)) == SQLITE_ROW) {
    for (int i = 0; i < kColumns; ++i) {
      if (i > 0) chunk += '\t';
      AppendCopyValue(reinterpret_cast<const char*>(sqlite3_column_text(select, i)), &chunk);
    }
    chunk += '\n';
    if (chunk.size() >= 1u << 16) {
      ok = PQputCopyData(session.conn(), chunk.data(), static_cast<int>(chunk.size())) == 1;
      chunk.clear();
    }
  }
  if (ok && rc != SQLITE_DONE) ok = session.Fail("cannot read the demo bookings");
  if (ok && !chunk.empty()) {
    ok = PQputCopyData(session.conn(), chunk.data(), static_cast<int>(chunk.size())) == 1;
  }
  ok = PQputCopyEnd(session.conn(), ok ? nullptr : "demo bookings incomplete") == 1 && ok;
  while (PGresult* result = PQgetResult(session.conn())) {
    if (PQresultStatus(result) != PGRES_COMMAND_OK && ok) {
      ok = session.Fail(PQerrorMessage(session.conn()));
    }
    PQclear(result);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return ok;
}

}  // namespace

bool PgInitDb(const char* connectText, std::string* error) {
  Session session(error);
  return session.Open(connectText) && session.CreateTable() && session.Exec("COMMIT");
}

bool PgDemoDb(const char* connectText, long count, std::string* error, std::time_t now) {
  Session session(error);
  if (!session.Open(connectText) || !session.CreateTable()) return false;
  // The demo rows come from the SQLite generator, so that every engine shows the same bookings.
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) return session.Fail("no temporary directory");
  const std::string path =
      (dir / ("dornvik-demo-" + std::to_string(std::random_device{}()) + ".db")).string();
  std::string sqliteError;
  if (!SqliteDemoDb(path.c_str(), count, &sqliteError, now)) {
    std::remove(path.c_str());
    return session.Fail(sqliteError);
  }
  const bool copied = CopyRows(path, session);
  std::remove(path.c_str());
  return copied && session.Exec("COMMIT");
}
