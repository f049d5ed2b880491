// The server engines against the private PostgreSQL cluster (scripts/pg-cluster.sh): the
// export run's statements as the server runs them, the error codes, Oracle's date rules, the
// cursor and the transaction. The cases run on every engine that reaches the cluster; this
// file holds them and the libpq engine's own.
#include "PgEngine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>

#include "PgDemoDb.h"
#include "PgDialect.h"
#include "ServerEngineTest.h"

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

bool PgClusterAvailable(std::string* why) {
  for (const char* name : {"DORNVIK_PG_ADMIN_CONNINFO", "DORNVIK_PG_PORT", "PGSERVICEFILE"}) {
    if (EnvOr(name, "").empty()) {
      *why = std::string("no PostgreSQL test cluster: ") + name +
             " is not set (run scripts/pg-cluster.sh start DIR and source DIR/env.sh)";
      return false;
    }
  }
  return true;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

// The engine tests have a database of their own; the end-to-end tests use the other.
PgAdmin::PgAdmin()
    : conn_(PQconnectdb((EnvOr("DORNVIK_PG_ADMIN_CONNINFO", "") + " dbname=" +
                         EnvOr("DORNVIK_PG_ENGINE_DB", EnvOr("DORNVIK_PG_DB", "dornvik").c_str()))
                            .c_str())) {
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
}

PgAdmin::~PgAdmin() { PQfinish(conn_); }

bool PgAdmin::ok() const { return PQstatus(conn_) == CONNECTION_OK; }

namespace {

PGresult* RunAdmin(PGconn* conn, const std::string& sql, const std::vector<const char*>& params) {
  PGresult* result = PQexecParams(conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                  params.data(), nullptr, nullptr, 0);
  const ExecStatusType status = PQresultStatus(result);
  EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
      << sql << ": " << PQerrorMessage(conn);
  return result;
}

}  // namespace

void PgAdmin::Exec(const std::string& sql, const std::vector<const char*>& params) {
  PQclear(RunAdmin(conn_, sql, params));
}

std::vector<std::optional<std::string>> PgAdmin::Column(const std::string& sql,
                                                        const std::vector<const char*>& params) {
  PGresult* result = RunAdmin(conn_, sql, params);
  std::vector<std::optional<std::string>> values;
  for (int row = 0; row < PQntuples(result); ++row) {
    if (PQgetisnull(result, row, 0) != 0) {
      values.emplace_back(std::nullopt);
    } else {
      values.emplace_back(PQgetvalue(result, row, 0));
    }
  }
  PQclear(result);
  return values;
}

std::string PgAdmin::Scalar(const std::string& sql, const std::vector<const char*>& params) {
  const auto values = Column(sql, params);
  return values.empty() || !values[0] ? std::string() : *values[0];
}

FetchedRow::FetchedRow() {
  static const std::size_t kCapacity[16] = {256, 6, 51, 9, 20, 20, 4, 4, 3, 4, 2, 2, 11, 31, 6, 4};
  std::memset(f, 0, sizeof f);
  for (int i = 0; i < 16; ++i) {
    // The five key columns are bound without indicator.
    out[i] = SqlOutput{f[i], kCapacity[i], !(i >= 2 && i <= 6)};
  }
}

void ServerEngineTest::SetUp() {
  DORNVIK_NEED_PG_CLUSTER();
  admin_ = std::make_unique<PgAdmin>();
  ASSERT_TRUE(admin_->ok()) << "cannot reach the test cluster as administrator";
  // The cases share the one booking table; tests in other processes wait here.
  admin_->Exec("SELECT pg_advisory_lock(" + std::to_string(kPgTableLock) + ")");
  admin_->Exec("DROP TABLE IF EXISTS qrschema.dornvik_deferred");
  admin_->Exec("DROP INDEX IF EXISTS qrschema.qrv321bew_ukz");
  admin_->Exec("TRUNCATE qrschema.qrv321bew");
}

void ServerEngineTest::TearDown() { admin_.reset(); }

std::unique_ptr<SqlRuntime> ServerEngineTest::Open() {
  auto rt = GetParam().make();
  EXPECT_EQ(kSqlOk, rt->Connect(GetParam().connectText().c_str()));
  EXPECT_EQ(kSqlOk, rt->Prepare(kTestSchemaSwitch));
  EXPECT_EQ(kSqlOk, rt->Execute());
  return rt;
}

void ServerEngineTest::Insert(const TestBooking& b) {
  auto p = [](const std::optional<std::string>& v) { return v ? v->c_str() : nullptr; };
  const std::string ukz = b.ukz ? std::to_string(*b.ukz) : std::string();
  admin_->Exec(
      "INSERT INTO qrschema.qrv321bew (bewidn, bewsto, bewdtm, bewuhr, bewlfn, bewera, bewsrc, "
      "bewtid, bewukz, bewdat) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9::integer, $10)",
      {p(b.idn), p(b.sto), p(b.dtm), p(b.uhr), p(b.lfn), p(b.era), p(b.src), p(b.tid),
       b.ukz ? ukz.c_str() : nullptr, p(b.dat)});
}

int ServerEngineTest::Mark(SqlRuntime& rt, const std::string& idn, const std::string& sto,
                           const std::string& dtm, const std::string& uhr, const std::string& lfn) {
  const char* inputs[5] = {idn.c_str(), sto.c_str(), dtm.c_str(), uhr.c_str(), lfn.c_str()};
  return rt.Update(kTestMarkStatement, inputs, 5);
}

std::vector<std::string> ServerEngineTest::Marks() {
  std::vector<std::string> marks;
  for (const auto& value :
       admin_->Column("SELECT coalesce(bewidn, '<null>') || ':' || coalesce(bewukz::text, '-') "
                      "FROM qrschema.qrv321bew ORDER BY 1")) {
    marks.push_back(value.value_or("?"));
  }
  return marks;
}

namespace {

std::time_t ParseDotted(const std::string& text) {
  std::tm tm{};
  if (text.size() != 19 || strptime(text.c_str(), "%d.%m.%Y %H:%M:%S", &tm) == nullptr) return 0;
  return timegm(&tm);
}

// Runs a single-row query; returns the code and fills `value`.
int Select(SqlRuntime& rt, const std::string& query, std::string* value) {
  char buffer[64] = {};
  const int code = rt.SelectInto(query.c_str(), buffer, sizeof buffer);
  *value = buffer;
  return code;
}

}  // namespace

void ServerEngineTest::ExpectCursorStableWhileMarking(int rows) {
  admin_->Exec(
      "INSERT INTO qrschema.qrv321bew (bewidn, bewsto, bewdtm, bewuhr, bewlfn) "
      "SELECT 'R' || lpad(i::text, 5, '0'), '0001', timestamp '2024-12-09 00:00:00', "
      "timestamp '2024-12-09 00:00:00' + i * interval '1 second', '1' "
      "FROM generate_series(1, " +
      std::to_string(rows) + ") AS i");
  admin_->Exec("CREATE INDEX qrv321bew_ukz ON qrschema.qrv321bew (BewUkz)");
  admin_->Exec("ANALYZE qrschema.qrv321bew");
  auto rt = Open();
  // The index on BewUkz is to be used: marked rows move within it while the cursor reads.
  ASSERT_EQ(kSqlOk, rt->Prepare("set enable_seqscan = off"));
  ASSERT_EQ(kSqlOk, rt->Execute());
  ASSERT_EQ(kSqlOk, rt->OpenCursor(kTestBookingQuery));
  std::set<std::string> seen;
  std::string last;
  for (;;) {
    FetchedRow row;
    const int code = rt->Fetch(row.out, 16);
    if (code != kSqlOk) {
      EXPECT_EQ(kSqlNoData, code);
      break;
    }
    EXPECT_LT(last, row.Field(2));
    last = row.Field(2);
    seen.insert(last);
    ASSERT_EQ(kSqlOk,
              Mark(*rt, row.Field(2), row.Field(3), row.Field(4), row.Field(5), row.Field(6)));
  }
  EXPECT_EQ(static_cast<std::size_t>(rows), seen.size());
  EXPECT_EQ(kSqlOk, rt->CloseCursor());
  ASSERT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ(std::to_string(rows),
            admin_->Scalar("SELECT count(*) FROM qrschema.qrv321bew WHERE bewukz = 4"));
}

TEST_P(ServerEngineTest, RunsTheExportStatementsAsOracleWould) {
  ASSERT_EQ(286u, std::strlen(kTestBookingQuery));
  TestBooking b;
  b.idn = "A1";
  b.tid = "M\xC3\xBCller";  // UTF-8 in the database, Windows-1252 for the program
  Insert(b);
  b.idn = "A2";  // same date and time as A1
  b.tid = "T2";
  b.ukz = 0;
  Insert(b);
  b.idn = "A3";  // the earliest
  b.dtm = "2024-12-08 00:00:00";
  b.uhr = "2024-12-08 23:59:59";
  b.ukz = 7;
  Insert(b);
  b.idn = "X4";  // already transferred
  b.ukz = 4;
  Insert(b);
  b = TestBooking();
  b.idn = " ";  // a blank key is a value
  b.uhr = "2024-12-09 08:00:00";
  Insert(b);
  b.idn = std::nullopt;  // NULL key column
  b.uhr = "2024-12-09 09:00:00";
  b.tid = std::nullopt;  // NULL elsewhere is no matter
  Insert(b);
  b.idn = "E7";
  b.sto = "";  // an empty text stored by PostgreSQL is NULL to the program
  b.uhr = "2024-12-09 10:00:00";
  Insert(b);

  auto rt = Open();
  std::string now;
  ASSERT_EQ(kSqlOk, Select(*rt, kTestServerTimeQuery, &now));
  const std::string serverNow =
      admin_->Scalar("SELECT to_char(LOCALTIMESTAMP, 'DD.MM.YYYY HH24:MI:SS')");
  EXPECT_EQ(19u, now.size()) << now;
  EXPECT_LE(std::abs(ParseDotted(now) - ParseDotted(serverNow)), 5) << now << " vs " << serverNow;

  ASSERT_EQ(kSqlOk, rt->OpenCursor(kTestBookingQuery));
  std::vector<std::string> order;
  std::vector<int> codes;
  for (;;) {
    FetchedRow row;
    const int code = rt->Fetch(row.out, 16);
    if (code != kSqlOk && code != kSqlNullFetched) {
      EXPECT_EQ(kSqlNoData, code);
      break;
    }
    order.push_back(row.Field(2) + "/" + row.Field(3) + "/" + row.Field(0));
    codes.push_back(code);
    EXPECT_EQ(14u, row.Field(4).size());
    EXPECT_EQ(14u, row.Field(5).size());
    // A row with a NULL key column cannot be found again: its mark finds no row.
    EXPECT_EQ(code == kSqlOk ? kSqlOk : kSqlNoData,
              Mark(*rt, row.Field(2), row.Field(3), row.Field(4), row.Field(5), row.Field(6)));
  }
  ASSERT_EQ(6u, order.size());
  EXPECT_EQ("A3/0001/T2", order[0]);
  // A1 and A2 share date and time: both come, in either order.
  EXPECT_EQ((std::set<std::string>{"A1/0001/M\xFCller", "A2/0001/T2"}),
            (std::set<std::string>{order[1], order[2]}));
  EXPECT_EQ(" /0001/T1", order[3]);
  EXPECT_EQ("/0001/", order[4]);
  EXPECT_EQ("E7//", order[5]);
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0, kSqlNullFetched, kSqlNullFetched}), codes);
  FetchedRow after;
  std::memset(after.f[2], 'x', 50);
  EXPECT_EQ(kSqlNoData, rt->Fetch(after.out, 16));
  EXPECT_EQ("", after.Field(2));  // no row: the variables come back empty
  EXPECT_EQ(kSqlOk, rt->CloseCursor());
  EXPECT_EQ(kSqlInvalidCursor, rt->Fetch(after.out, 16));

  // The marks wait for the commit.
  EXPECT_EQ((std::vector<std::string>{" :-", "<null>:-", "A1:-", "A2:0", "A3:7", "E7:-", "X4:4"}),
            Marks());
  ASSERT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{" :4", "<null>:-", "A1:4", "A2:4", "A3:4", "E7:-", "X4:4"}),
            Marks());
  EXPECT_EQ("0", admin_->Scalar("SELECT count(*) FROM qrschema.qrv321bew "
                                "WHERE bewukz = 4 AND bewidn <> 'X4' AND "
                                "(bewudt IS NULL OR bewudt < now() - interval '1 minute')"));
}

TEST_P(ServerEngineTest, PurgeDeletesOnlyTransferredRowsOlderThanThreeMonths) {
  const char* insert =
      "INSERT INTO qrschema.qrv321bew (bewidn, bewukz, bewdat) "
      "VALUES ($1, $2::integer, LOCALTIMESTAMP(0) + $3::interval)";
  admin_->Exec(insert, {"old4", "4", "-4 months"});
  admin_->Exec(insert, {"oldnull", nullptr, "-4 months"});
  admin_->Exec(insert, {"old3", "3", "-4 months"});
  admin_->Exec(insert, {"before4", "4", "-3 months -1 day"});
  admin_->Exec(insert, {"after4", "4", "-3 months +1 day"});
  admin_->Exec(insert, {"recent4", "4", "-1 day"});
  admin_->Exec(insert, {"nodat4", "4", nullptr});
  auto rt = Open();
  EXPECT_EQ(kSqlOk, rt->Delete(kTestPurgeStatement));
  ASSERT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{"after4:4", "nodat4:4", "old3:3", "oldnull:-", "recent4:4"}),
            Marks());
}

TEST_P(ServerEngineTest, DatesFollowOraclesRules) {
  auto rt = Open();
  struct Case {
    const char* from;
    int months;
    const char* expected;
  };
  // ADD_MONTHS: the last day of a month goes to the last day of the target month; other days
  // keep their number unless the target month is shorter. The time of day stays.
  const Case cases[] = {
      {"20240430120000", -3, "20240131120000"}, {"20240531235959", -3, "20240229235959"},
      {"20230531000000", -3, "20230228000000"}, {"20240229080000", -3, "20231130080000"},
      {"20230228080000", -3, "20221130080000"}, {"20240228080000", -3, "20231128080000"},
      {"20240315101010", -3, "20231215101010"}, {"20240630000000", 1, "20240731000000"},
      {"20240131000000", 1, "20240229000000"},  {"20240130000000", 1, "20240229000000"},
      {"20241231235959", 2, "20250228235959"},  {"20240229000000", 12, "20250228000000"},
  };
  for (const Case& c : cases) {
    std::string value;
    const std::string query = std::string("select to_char(ADD_MONTHS(to_date('") + c.from +
                              "','yyyymmddhh24miss'),(" + std::to_string(c.months) +
                              ")),'yyyymmddhh24miss') into :b0  from dual ";
    EXPECT_EQ(kSqlOk, Select(*rt, query, &value)) << c.from;
    EXPECT_EQ(c.expected, value) << "ADD_MONTHS(" << c.from << "," << c.months << ")";
  }
  std::string value;
  EXPECT_EQ(kSqlOk, Select(*rt,
                           "select TO_CHAR(to_date('20241209070500','yyyymmddhh24miss'),"
                           "'dd.mm.yyyy hh24:mi:ss') into :b0  from dual ",
                           &value));
  EXPECT_EQ("09.12.2024 07:05:00", value);
  // An empty text is NULL: to_date('') is NULL, and NULL without indicator is -1405.
  EXPECT_EQ(kSqlNullFetched,
            Select(*rt,
                   "select to_char(to_date('','yyyymmddhh24miss'),'yyyymmddhh24miss') into :b0 "
                   " from dual ",
                   &value));
  EXPECT_EQ("", value);
  // A value longer than its variable arrives cut, with -1406.
  char small[11] = {};
  EXPECT_EQ(kSqlTruncated, rt->SelectInto(kTestServerTimeQuery, small, sizeof small));
  EXPECT_EQ(10u, std::strlen(small));
  // No row: 1403 and the variable untouched.
  char untouched[20] = "unchanged";
  EXPECT_EQ(kSqlNoData,
            rt->SelectInto("select BewIDN into :b0  from QRSCHEMA.Qrv321Bew where BewUkz=99",
                           untouched, sizeof untouched));
  EXPECT_STREQ("unchanged", untouched);
}

TEST_P(ServerEngineTest, MarksFindTheirRowsInEveryTimeZoneAndNeverByEmptyTexts) {
  TestBooking b;
  b.idn = "gap";  // 02:30 does not exist in Berlin on that day; the column holds it all the same
  b.dtm = "2024-03-31 00:00:00";
  b.uhr = "2024-03-31 02:30:00";
  Insert(b);
  b.idn = "nullsto";
  b.sto = std::nullopt;
  b.uhr = "2024-03-31 03:30:00";
  Insert(b);
  b.idn = "emptysto";
  b.sto = "";
  Insert(b);
  b.idn = "gr\xC3\xBCn";  // UTF-8 in the database
  b.sto = "0001";
  Insert(b);

  const std::string oldTz = EnvOr("PGTZ", "");
  setenv("PGTZ", "Europe/Berlin", 1);
  auto rt = Open();
  if (oldTz.empty()) {
    unsetenv("PGTZ");
  } else {
    setenv("PGTZ", oldTz.c_str(), 1);
  }
  std::string zone;
  ASSERT_EQ(kSqlOk, Select(*rt, "select current_setting('TimeZone') into :b0  from dual ", &zone));
  EXPECT_EQ("Europe/Berlin", zone);

  ASSERT_EQ(kSqlOk, rt->OpenCursor(kTestBookingQuery));
  FetchedRow row;
  ASSERT_EQ(kSqlOk, rt->Fetch(row.out, 16));
  EXPECT_EQ("gap", row.Field(2));
  EXPECT_EQ("20240331023000", row.Field(5));
  EXPECT_EQ(kSqlOk, Mark(*rt, "gap", "0001", row.Field(4), row.Field(5), "1"));
  // "" binds NULL, which equals nothing: neither the NULL nor the empty BewSto matches.
  EXPECT_EQ(kSqlNoData, Mark(*rt, "nullsto", "", "20240331000000", "20240331033000", "1"));
  EXPECT_EQ(kSqlNoData, Mark(*rt, "emptysto", "", "20240331000000", "20240331033000", "1"));
  // Windows-1252 from the program finds its row.
  EXPECT_EQ(kSqlOk, Mark(*rt, "gr\xFCn", "0001", "20240331000000", "20240331033000", "1"));
  EXPECT_EQ(kSqlOk, rt->CloseCursor());
  ASSERT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{"emptysto:-", "gap:4", "gr\xC3\xBCn:4", "nullsto:-"}),
            Marks());
}

TEST_P(ServerEngineTest, ErrorsArriveAsOracleCodes) {
  const EngineCase& engine = GetParam();
  struct Case {
    std::string text;
    int expected;
  };
  const Case connects[] = {
      {engine.wrongPassword(), kSqlLogonDenied},
      {engine.unknownService(), kSqlUnknownService},
      {engine.noListener(), kSqlNoListener},
  };
  for (const Case& c : connects) {
    auto rt = engine.make();
    EXPECT_EQ(c.expected, rt->Connect(c.text.c_str())) << c.text;
    // Without a session every statement says so.
    std::string value;
    EXPECT_EQ(kSqlNotConnected, Select(*rt, kTestServerTimeQuery, &value));
    EXPECT_EQ(kSqlNotConnected, rt->Commit());
  }

  auto rt = engine.make();
  ASSERT_EQ(kSqlOk, rt->Connect(engine.connectText().c_str()));
  for (const char* unknown : {"ALTER SESSION SET CURRENT_SCHEMA=NICHTDA",
                              "ALTER SESSION SET CURRENT_SCHEMA=\"QRSCHEMA\""}) {
    EXPECT_EQ(kSqlOk, rt->Prepare(unknown));
    EXPECT_EQ(kSqlUnknownUser, rt->Execute()) << unknown;
  }
  EXPECT_EQ(kSqlOk, rt->Prepare(kTestSchemaSwitch));
  EXPECT_EQ(kSqlOk, rt->Execute());

  // A missing table: the cursor fails to open and never delivers a row.
  EXPECT_EQ(kSqlTableMissing, rt->OpenCursor("select BewIDN from QRSCHEMA.Nichtda"));
  FetchedRow row;
  EXPECT_EQ(kSqlInvalidCursor, rt->Fetch(row.out, 1));
  EXPECT_EQ(kSqlTableMissing, rt->Delete("delete  from QRSCHEMA.Nichtda"));
  // The session goes on after those errors.
  std::string value;
  EXPECT_EQ(kSqlOk, Select(*rt, kTestServerTimeQuery, &value));

  // A lost connection: -3113 once, then "not connected".
  std::string pid;
  ASSERT_EQ(kSqlOk,
            Select(*rt, "select cast(pg_backend_pid() as varchar(20)) into :b0  from dual ", &pid));
  admin_->Exec("SELECT pg_terminate_backend($1::integer)", {pid.c_str()});
  for (int i = 0; i < 100 && admin_->Scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = "
                                            "$1::integer",
                                            {pid.c_str()}) != "0";
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(kSqlEndOfFile, Select(*rt, kTestServerTimeQuery, &value));
  EXPECT_EQ(kSqlNotConnected, Select(*rt, kTestServerTimeQuery, &value));
  EXPECT_EQ(kSqlNotConnected, rt->Commit());
}

TEST_P(ServerEngineTest, CursorKeepsItsResultWhileTheSessionMarks) {
  ExpectCursorStableWhileMarking(2500);
}

TEST_P(ServerEngineTest, OnlyTheCommitPublishesTheMarks) {
  for (const char* idn : {"A", "B", "C"}) {
    TestBooking b;
    b.idn = idn;
    Insert(b);
  }
  {
    auto rt = Open();
    EXPECT_EQ(kSqlOk, Mark(*rt, "A", "0001", "20241209000000", "20241209070500", "1"));
    EXPECT_EQ((std::vector<std::string>{"A:-", "B:-", "C:-"}), Marks());
    ASSERT_EQ(kSqlOk, rt->Commit());
    EXPECT_EQ((std::vector<std::string>{"A:4", "B:-", "C:-"}), Marks());
    // After the commit a new transaction holds the next marks.
    EXPECT_EQ(kSqlOk, Mark(*rt, "B", "0001", "20241209000000", "20241209070500", "1"));
  }
  // Destroyed without commit: B is undone.
  EXPECT_EQ((std::vector<std::string>{"A:4", "B:-", "C:-"}), Marks());
}

TEST_P(ServerEngineTest, AFailedStatementUndoesOnlyItself) {
  for (const char* idn : {"A", "B", "C"}) {
    TestBooking b;
    b.idn = idn;
    Insert(b);
  }
  auto rt = Open();
  ASSERT_EQ(kSqlOk, rt->OpenCursor(kTestBookingQuery));
  FetchedRow row;
  ASSERT_EQ(kSqlOk, rt->Fetch(row.out, 16));
  EXPECT_EQ(kSqlOk, Mark(*rt, row.Field(2), "0001", row.Field(4), row.Field(5), "1"));
  ASSERT_EQ(kSqlOk, rt->Fetch(row.out, 16));
  // A date text the server rejects: the statement fails alone.
  EXPECT_EQ(-1861, Mark(*rt, row.Field(2), "0001", "2024x209000000", row.Field(5), "1"));
  EXPECT_EQ(kSqlTableMissing, rt->Delete("delete  from QRSCHEMA.Nichtda"));
  ASSERT_EQ(kSqlOk, rt->Fetch(row.out, 16));
  EXPECT_EQ("C", row.Field(2));
  EXPECT_EQ(kSqlOk, Mark(*rt, row.Field(2), "0001", row.Field(4), row.Field(5), "1"));
  EXPECT_EQ(kSqlNoData, rt->Fetch(row.out, 16));
  EXPECT_EQ(kSqlOk, rt->CloseCursor());
  ASSERT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{"A:4", "B:-", "C:4"}), Marks());
}

TEST_P(ServerEngineTest, ACommitTheServerRefusesIsReported) {
  TestBooking b;
  b.idn = "A";
  Insert(b);
  admin_->Exec(
      "CREATE TABLE qrschema.dornvik_deferred (a integer, CONSTRAINT dornvik_deferred_a "
      "UNIQUE (a) DEFERRABLE INITIALLY DEFERRED)");
  admin_->Exec("ALTER TABLE qrschema.dornvik_deferred OWNER TO dornvik");
  auto rt = Open();
  EXPECT_EQ(kSqlOk, Mark(*rt, "A", "0001", "20241209000000", "20241209070500", "1"));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(kSqlOk, rt->Prepare("insert into QRSCHEMA.dornvik_deferred values (1)"));
    ASSERT_EQ(kSqlOk, rt->Execute());
  }
  EXPECT_EQ(-1, rt->Commit());  // the unique key is checked at the commit: ORA-00001
  EXPECT_EQ((std::vector<std::string>{"A:-"}), Marks());
  // The session carries on in a new transaction.
  EXPECT_EQ(kSqlOk, Mark(*rt, "A", "0001", "20241209000000", "20241209070500", "1"));
  EXPECT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{"A:4"}), Marks());
}

namespace {

std::string PgPort() { return EnvOr("DORNVIK_PG_PORT", "5432"); }
std::string PgService() {
  return EnvOr("DORNVIK_PG_ENGINE_SERVICE", EnvOr("DORNVIK_PG_SERVICE", "dornvik").c_str());
}
std::string PgCredentials() {
  return EnvOr("DORNVIK_PG_USER", "dornvik") + "/" + EnvOr("DORNVIK_PG_PASSWORD", "geheim");
}

// The cases above check each mark's own code, so the marks run at once here; the batched
// marks have their own cases below.
const EngineCase kLibpq = {
    "libpq",
    [] {
      return NewPgRuntime(PgRuntimeOptions{kPgFetchBatch, 1});
    },
    [] { return PgCredentials() + "@" + PgService(); },
    [] { return EnvOr("DORNVIK_PG_USER", "dornvik") + "/falsch@" + PgService(); },
    [] { return PgCredentials() + "@nichtda"; },
    [] {
      return PgCredentials() + "@127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/dornvik";
    },
};

}  // namespace

void PrintTo(const EngineCase& engine, std::ostream* os) { *os << engine.name; }

INSTANTIATE_TEST_SUITE_P(Pg, ServerEngineTest, ::testing::Values(kLibpq),
                         [](const auto& info) { return std::string(info.param.name); });

const EngineCase kLibpqBatched = {
    "libpq",
    [] {
      return NewPgRuntime(PgRuntimeOptions{4, 3});
    },
    kLibpq.connectText,
    kLibpq.wrongPassword,
    kLibpq.unknownService,
    kLibpq.noListener,
};
INSTANTIATE_TEST_SUITE_P(Pg, BatchedMarkTest, ::testing::Values(kLibpqBatched),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Batched marks. The engines run with batches of three marks and fetches of four rows, so that
// a few rows cross every boundary.

namespace {

int Count(SqlRuntime& rt, const std::string& where) {
  char value[20] = {};
  const int code =
      rt.SelectInto(("select count(*) into :b0  from QRSCHEMA.Qrv321Bew where " + where).c_str(),
                    value, sizeof value);
  return code == kSqlOk ? std::atoi(value) : code;
}

}  // namespace

// The export's order of statements with marks in batches: each mark reaches the server before
// the next statement reads the table, before the purge and before the commit.
TEST_P(BatchedMarkTest, QueuedMarksArriveBeforeTheNextStatementThePurgeAndTheCommit) {
  for (const char* idn : {"A", "B", "C", "D", "E"}) {
    TestBooking b;
    b.idn = idn;
    b.dat = std::nullopt;  // never purged
    Insert(b);
  }
  // Exported in this run and more than three months old: marked, then purged.
  TestBooking old;
  old.idn = "OLD";
  old.dat = "2000-01-01 00:00:00";
  Insert(old);

  auto rt = Open();
  ASSERT_EQ(kSqlOk, rt->OpenCursor(kTestBookingQuery));
  TestBooking late;  // comes after the OPEN: not in the cursor's rows
  late.idn = "G";
  late.dat = std::nullopt;
  Insert(late);
  int marked = 0;
  for (;;) {
    FetchedRow row;
    const int code = rt->Fetch(row.out, 16);
    if (code != kSqlOk) {
      EXPECT_EQ(kSqlNoData, code);
      break;
    }
    EXPECT_EQ(kSqlOk,
              Mark(*rt, row.Field(2), row.Field(3), row.Field(4), row.Field(5), row.Field(6)));
    ++marked;
    if (marked == 4) {
      // Three went with the full batch, the fourth waits; the query sends it first.
      EXPECT_EQ(4, Count(*rt, "BewUkz=4"));
    }
  }
  EXPECT_EQ(6, marked);
  EXPECT_EQ(kSqlOk, rt->CloseCursor());
  EXPECT_EQ(kSqlOk, rt->Delete(kTestPurgeStatement));
  // A mark after the purge, straight before the commit.
  EXPECT_EQ(kSqlOk, Mark(*rt, "G", "0001", "20241209000000", "20241209070500", "1"));
  ASSERT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{"A:4", "B:4", "C:4", "D:4", "E:4", "G:4"}), Marks());

  // Queued marks of a runtime that goes away without a commit are undone with it.
  admin_->Exec("UPDATE qrschema.qrv321bew SET bewukz = NULL");
  {
    auto other = Open();
    EXPECT_EQ(kSqlOk, Mark(*other, "A", "0001", "20241209000000", "20241209070500", "1"));
  }
  EXPECT_EQ((std::vector<std::string>{"A:-", "B:-", "C:-", "D:-", "E:-", "G:-"}), Marks());
}

// A mark that fails in a batch is reported by the statement that sent the batch; it is undone
// alone, and every other mark of the batch stays.
TEST_P(BatchedMarkTest, AFailedMarkIsReportedAndTheOthersOfItsBatchStay) {
  for (const char* idn : {"A", "B", "C", "D", "E", "F"}) {
    TestBooking b;
    b.idn = idn;
    Insert(b);
  }
  auto rt = Open();
  const char* good[] = {"20241209000000", "20241209070500"};
  const char* bad = "2024x209000000";  // the server rejects this date: ORA-01861
  struct Step {
    const char* idn;
    const char* dtm;
    int expected;  // what the UPDATE returns
  };
  const Step steps[] = {
      {"A", good[0], kSqlOk}, {"B", bad, kSqlOk},  // queued
      {"C", good[0], -1861},                       // fills the batch: B's code
      {"D", good[0], kSqlOk}, {"E", bad, kSqlOk},  // queued; CLOSE sends them
  };
  ASSERT_EQ(kSqlOk, rt->OpenCursor(kTestBookingQuery));
  for (const Step& step : steps) {
    EXPECT_EQ(step.expected, Mark(*rt, step.idn, "0001", step.dtm, good[1], "1")) << step.idn;
  }
  EXPECT_EQ(-1861, rt->CloseCursor());
  // The failures cost neither the transaction nor the other marks.
  EXPECT_EQ(kSqlOk, Mark(*rt, "F", "0001", good[0], good[1], "1"));
  ASSERT_EQ(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{"A:4", "B:-", "C:4", "D:4", "E:-", "F:4"}), Marks());
}

// Many rows: the cursor delivers every row once, in order, while the batches mark them.
TEST_P(BatchedMarkTest, CursorKeepsItsResultWhileBatchesMark) {
  ExpectCursorStableWhileMarking(500);
}

// Queued marks whose session is lost: the commit fails, so the run takes its lines back.
TEST_P(BatchedMarkTest, ALostSessionWithQueuedMarksFailsTheCommit) {
  TestBooking b;
  b.idn = "A";
  Insert(b);
  auto rt = Open();
  std::string pid;
  char buffer[20] = {};
  ASSERT_EQ(kSqlOk, rt->SelectInto("select cast(pg_backend_pid() as varchar(20)) into :b0  from "
                                   "dual ",
                                   buffer, sizeof buffer));
  pid = buffer;
  EXPECT_EQ(kSqlOk, Mark(*rt, "A", "0001", "20241209000000", "20241209070500", "1"));
  admin_->Exec("SELECT pg_terminate_backend($1::integer)", {pid.c_str()});
  for (int i = 0; i < 100 && admin_->Scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = "
                                            "$1::integer",
                                            {pid.c_str()}) != "0";
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(kSqlOk, rt->Commit());
  EXPECT_EQ((std::vector<std::string>{"A:-"}), Marks());
}

// The shape of the statements that may run for many rows at once.
TEST(PgDialectTest, BatchesOnlyUpdatesThatSetConstants) {
  BatchUpdateSql batch;
  ASSERT_TRUE(PgTranslateBatchUpdate(kTestMarkStatement, 2, false, &batch));
  EXPECT_EQ(
      "update QRSCHEMA.Qrv321Bew  set BewUkz=4,BewUdt=statement_timestamp() FROM (VALUES "
      "($1,$2,$3,$4,$5),($6,$7,$8,$9,$10)) AS dornvik_keys(b0,b1,b2,b3,b4) where "
      "((((BewIDN=dornvik_keys.b0 and BewSto=dornvik_keys.b1) and "
      "BewDtm=(to_timestamp(NULLIF(dornvik_keys.b2,'')||'+00','YYYYMMDDHH24MISSTZH') AT TIME "
      "ZONE 'UTC')) and BewUhr=(to_timestamp(NULLIF(dornvik_keys.b3,'')||'+00',"
      "'YYYYMMDDHH24MISSTZH') AT TIME ZONE 'UTC')) and BewLfn=dornvik_keys.b4)",
      batch.text);
  EXPECT_EQ((std::vector<std::size_t>{0, 1, 2, 3, 4}), batch.inputs);
  EXPECT_EQ(2u, batch.rows);

  ASSERT_TRUE(
      PgTranslateBatchUpdate("update T set A=42, B='x', C=NULL where K=:b1 and J=:b0 "
                             "and L=:b1",
                             2, true, &batch));
  EXPECT_EQ(
      "update T set A=42, B='x', C=NULL FROM (VALUES (?,?),(?,?)) AS dornvik_keys(b0,b1) "
      "where K=dornvik_keys.b1 and J=dornvik_keys.b0 and L=dornvik_keys.b1",
      batch.text);
  EXPECT_EQ((std::vector<std::size_t>{0, 1}), batch.inputs);

  const char* const refused[] = {
      "update T set A=A+1 where K=:b0",               // counts: twice is not once
      "update T set A=:b1 where K=:b0",               // the value comes with the row
      "update T set A=SYSDATE() where K=:b0",         // a call
      "update T set A=4 from U where K=:b0",          // a join of its own
      "update T set A=4 where K=:b0 returning A",     // rows back
      "update T set A=4 where K=:b0; delete from T",  // two statements
      "update T set A=4 where K=1",                   // nothing to batch
      "delete from T where K=:b0",                    // not an update
      "update T set A=4",                             // no condition
  };
  for (const char* text : refused) {
    EXPECT_FALSE(PgTranslateBatchUpdate(text, 2, false, &batch)) << text;
  }
}

// The libpq engine's own forms of the service name and the user name.
TEST(PgEngineTest, ServiceNamesUserNamesAndTheirErrors) {
  DORNVIK_NEED_PG_CLUSTER();
  const std::string host = "127.0.0.1:" + PgPort();
  struct Case {
    std::string text;
    int expected;
  };
  const Case cases[] = {
      {PgCredentials() + "@" + host + "/dornvik", kSqlOk},
      {"DORNVIK/geheim@" + host + "/dornvik", kSqlOk},  // unquoted user names fold
      {"\"DORNVIK\"/geheim@" + host + "/dornvik", kSqlLogonDenied},
      {"niemand/geheim@" + host + "/dornvik", kSqlLogonDenied},
      {"dornvik/GEHEIM@" + host + "/dornvik", kSqlLogonDenied},  // passwords do not fold
      {PgCredentials() + "@" + host + "/nichtda", -12514},
      {PgCredentials() + "@nohost.invalid:" + PgPort() + "/dornvik", kSqlUnknownService},
      {PgCredentials() + "@127.0.0.1:keinport/dornvik", kSqlUnknownService},
  };
  for (const Case& c : cases) {
    auto rt = NewPgRuntime();
    EXPECT_EQ(c.expected, rt->Connect(c.text.c_str())) << c.text;
  }
}

// The table that the README repeats; a change to one is a change to the other.
TEST(PgDialectTest, SqlstatesMapToOracleCodes) {
  const std::pair<const char*, int> cases[] = {
      {"42P01", -942},  {"3F000", -942},  {"28P01", -1017}, {"23505", -1},  {"22007", -1861},
      {"08006", -3113}, {"57P01", -3113}, {"55P03", -54},   {"40P01", -60}, {"XX000", -20000},
  };
  for (const auto& [state, code] : cases) EXPECT_EQ(code, PgSqlcodeFromState(state)) << state;
  EXPECT_EQ(-12154, PgSqlcodeFromConnectError("definition of service \"x\" not found", false));
  EXPECT_EQ(-12541,
            PgSqlcodeFromConnectError(
                "connection to server at \"127.0.0.1\", port 1 failed: Connection refused", false));
  EXPECT_EQ(-1017, PgSqlcodeFromConnectError("FATAL:  Passwort-Authentifizierung", true));
  EXPECT_EQ(-12560, PgSqlcodeFromConnectError("something else", false));
}

TEST(PgDialectTest, LeavesLiteralsAndNamesAloneAndNumbersMarkersByHostVariable) {
  const TranslatedSql sql = PgTranslate(
      "update T set A='sysdate :b9 into :b0 from dual',\"SYSDATE\"=:b1 where B=:b0 and C=:b1",
      false);
  EXPECT_EQ("update T set A='sysdate :b9 into :b0 from dual',\"SYSDATE\"=$2 where B=$1 and C=$2",
            sql.text);
  EXPECT_EQ((std::vector<std::size_t>{1, 0, 1}), sql.params);
  const TranslatedSql odbc = PgTranslate("select x into :b0, :b1 from dual where y=:b2", true);
  EXPECT_EQ("select x   where y=?", odbc.text);
  EXPECT_EQ((std::vector<std::size_t>{2}), odbc.params);
}

// The admin tool's PostgreSQL tables, in a database of their own: the demo bookings are there
// and the export's statements run on them.
TEST(PgDemoDbTest, CreatesTheTableOnceAndFillsItWithDemoBookings) {
  DORNVIK_NEED_PG_CLUSTER();
  PgAdmin admin;
  ASSERT_TRUE(admin.ok());
  const std::string db = "dornvik_demo_" + std::to_string(getpid());
  admin.Exec("DROP DATABASE IF EXISTS " + db);
  admin.Exec("CREATE DATABASE " + db + " OWNER dornvik");
  const std::string connect = PgCredentials() + "@127.0.0.1:" + PgPort() + "/" + db;
  std::string error;
  EXPECT_TRUE(PgDemoDb(connect.c_str(), 300, &error)) << error;
  EXPECT_FALSE(PgInitDb(connect.c_str(), &error));
  EXPECT_NE(std::string::npos, error.find("exists")) << error;
  {
    auto rt = NewPgRuntime();
    ASSERT_EQ(kSqlOk, rt->Connect(connect.c_str()));
    ASSERT_EQ(kSqlOk, rt->Prepare(kTestSchemaSwitch));
    ASSERT_EQ(kSqlOk, rt->Execute());
    char count[20] = {};
    ASSERT_EQ(kSqlOk, rt->SelectInto("select count(*) into :b0  from QRSCHEMA.Qrv321Bew", count,
                                     sizeof count));
    EXPECT_STREQ("300", count);
    ASSERT_EQ(kSqlOk, rt->OpenCursor(kTestBookingQuery));
    int rows = 0;
    for (;;) {
      FetchedRow row;
      const int code = rt->Fetch(row.out, 16);
      if (code != kSqlOk && code != kSqlNullFetched) {
        EXPECT_EQ(kSqlNoData, code);
        break;
      }
      ++rows;
    }
    EXPECT_GT(rows, 0);
    EXPECT_LT(rows, 300);  // some are transferred already
    EXPECT_EQ(kSqlOk, rt->CloseCursor());
    EXPECT_EQ(kSqlOk, rt->Delete(kTestPurgeStatement));
  }
  admin.Exec("DROP DATABASE " + db + " WITH (FORCE)");
}
