// The SQLite engine against real database files: the program's statements, Oracle's meaning
// of dates, NULLs and output rules, the cursor, the transaction and the demo databases.
#include "SqliteEngine.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "DemoDb.h"
#include "SqlRuntime.h"
#include "test_util.h"

namespace {

// The statements exactly as the program holds them.
const char kServerTime[] = "select TO_CHAR(SYSDATE,'dd.mm.yyyy hh24:mi:ss') into :b0  from dual ";
const char kQuery[] =
    "select BewTID ,BewLID ,BewIDN ,BewSto ,to_char(BewDtm,'yyyymmddhh24miss') "
    ",to_char(BewUhr,'yyyymmddhh24miss') ,BewLfn ,BewArt ,BewTas ,BewEra ,BewKze ,BewBer "
    ",BewErq ,BewKst ,BewQua ,BewSrc  from QRSCHEMA.Qrv321Bew where (BewUkz<>4 or BewUkz is "
    "null ) order by BewDtm,BewUhr            ";
static_assert(sizeof kQuery - 1 == 286, "the query is sent with its twelve trailing blanks");
const char kMark[] =
    "update QRSCHEMA.Qrv321Bew  set BewUkz=4,BewUdt=SYSTIMESTAMP where ((((BewIDN=:b0 and "
    "BewSto=:b1) and BewDtm=to_date(:b2,'yyyymmddhh24miss')) and "
    "BewUhr=to_date(:b3,'yyyymmddhh24miss')) and BewLfn=:b4)";
const char kPurge[] =
    "delete  from QRSCHEMA.QRV321BEW  where (BewDat<ADD_MONTHS(SYSDATE,(-3)) and BewUkz=4)";
const char kSchema[] = "ALTER SESSION SET CURRENT_SCHEMA=QRSCHEMA";

std::time_t Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

SqliteClock FixedClock(std::time_t t) {
  return [t] { return t; };
}

// A second, plain connection to the same file, for setting up and looking at the data.
class RawDb {
 public:
  explicit RawDb(const std::string& path) {
    EXPECT_EQ(
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
        SQLITE_OK);
    sqlite3_busy_timeout(db_, 2000);
  }
  ~RawDb() { sqlite3_close_v2(db_); }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  void Exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (message != nullptr ? message : "");
    sqlite3_free(message);
  }
  // The rows of `sql`, one line each, values separated by "|", NULL as "~".
  std::string Query(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return out;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        if (c > 0) out += '|';
        const unsigned char* text = sqlite3_column_text(stmt, c);
        out += text != nullptr ? reinterpret_cast<const char*>(text) : "~";
      }
      out += '\n';
    }
    sqlite3_finalize(stmt);
    return out;
  }
  // Inserts a booking; the date and time column are derived from `when`.
  void Add(const std::optional<std::string>& idn, const std::optional<std::string>& when,
           std::optional<int> ukz, const std::string& dat = "2024-12-01 00:00:00",
           const std::string& lfn = "1", const std::string& src = "DTA") {
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_,
                                 "INSERT INTO Qrv321Bew (BewTID, BewIDN, BewSto, BewDtm, BewUhr, "
                                 "BewLfn, BewEra, BewSrc, BewUkz, BewDat) VALUES ('T', ?1, "
                                 "'S1', ?2, ?3, ?4, '200', ?5, ?6, ?7)",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    auto text = [&](int i, const std::optional<std::string>& v) {
      if (v) {
        sqlite3_bind_text(stmt, i, v->c_str(), -1, SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_null(stmt, i);
      }
    };
    text(1, idn);
    text(2, when ? std::optional<std::string>(when->substr(0, 10) + " 00:00:00") : std::nullopt);
    text(3, when);
    text(4, lfn);
    text(5, src);
    if (ukz) {
      sqlite3_bind_int(stmt, 6, *ukz);
    } else {
      sqlite3_bind_null(stmt, 6);
    }
    text(7, dat);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
  }

 private:
  sqlite3* db_ = nullptr;
};

// The sixteen outputs of the cursor as the program binds them: the five key columns without
// indicator, the others with one.
struct BookingHost {
  static constexpr std::size_t kCapacity[16] = {256, 6, 51, 9, 20, 20, 4, 4,
                                                3,   4, 2,  2, 11, 31, 6, 4};
  char field[16][256];
  SqlOutput out[16];
  BookingHost() {
    std::memset(field, 'Z', sizeof field);
    for (std::size_t i = 0; i < 16; ++i) {
      const bool key = i >= 2 && i <= 6;
      out[i] = SqlOutput{field[i], kCapacity[i], !key};
    }
  }
  std::string Text(std::size_t i) const {
    return std::string(field[i], std::find(field[i], field[i] + 256, '\0'));
  }
  std::string IDN() const { return Text(2); }
  std::string Dtm() const { return Text(4); }
  std::string Uhr() const { return Text(5); }
  // Marks the fetched row as the program does (an empty BewIDN is bound as one blank).
  int Mark(SqlRuntime& rt) const {
    const char* idn = field[2][0] != '\0' ? field[2] : " ";
    const char* inputs[5] = {idn, field[3], field[4], field[5], field[6]};
    return rt.Update(kMark, inputs, 5);
  }
};

class SqliteEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(SqliteInitDb(path_.c_str(), &error)) << error;
  }
  // A runtime connected to the file and switched to the schema.
  std::unique_ptr<SqlRuntime> Open(std::time_t now = Local(2024, 12, 9, 7, 5, 0),
                                   int busyMs = 2000) {
    auto rt = NewSqliteRuntime(FixedClock(now), busyMs);
    EXPECT_EQ(rt->Connect(("scott/tiger@" + path_).c_str()), 0);
    EXPECT_EQ(rt->Prepare(kSchema), 0);
    EXPECT_EQ(rt->Execute(), 0);
    return rt;
  }
  std::string Select(SqlRuntime& rt, const std::string& expression, int* code) {
    char out[64];
    std::strcpy(out, "unchanged");
    *code =
        rt.SelectInto(("select " + expression + " into :b0  from dual ").c_str(), out, sizeof out);
    return out;
  }

  ScratchDir dir_;
  std::string path_ = dir_.Join("bookings.db");
};

// ---------------------------------------------------------------------------------------------

TEST(SqlStoreOutputTest, OracleRulesForTerminatedOutputs) {
  struct Case {
    const char* value;
    std::size_t length;
    std::size_t capacity;
    bool indicator;
    int code;
    std::string stored;
  } cases[] = {
      {nullptr, 0, 8, false, kSqlNullFetched, ""},
      {nullptr, 0, 8, true, 0, ""},
      {"", 0, 8, false, kSqlNullFetched, ""},  // empty text is NULL
      {"abc", 3, 4, false, 0, "abc"},          // exactly capacity - 1
      {"abcd", 4, 4, false, kSqlTruncated, "abc"},
      {"abcd", 4, 4, true, 0, "abc"},  // cut, but not reported with an indicator
      {"a", 1, 1, false, kSqlTruncated, ""},
      // A NUL in the value ends the text; without an indicator the lost rest is reported, as
      // a key column could never find its row again with it.
      {"ab\0cd", 5, 8, false, kSqlTruncated, "ab"},
      {"ab\0cd", 5, 8, true, 0, "ab"},
      {"\xDC\xFC\x80", 3, 4, false, 0, "\xDC\xFC\x80"},
  };
  for (const Case& c : cases) {
    char buffer[12];
    std::memset(buffer, 'Z', sizeof buffer);
    const SqlOutput out{buffer, c.capacity, c.indicator};
    EXPECT_EQ(SqlStoreOutput(out, c.value, c.length), c.code) << c.stored;
    EXPECT_EQ(std::string(buffer), c.stored);
    for (std::size_t i = c.stored.size(); i < c.capacity; ++i) EXPECT_EQ(buffer[i], '\0') << i;
    for (std::size_t i = c.capacity; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 'Z') << i;
  }
  char guard = 'Z';
  EXPECT_EQ(SqlStoreOutput(SqlOutput{&guard, 0, false}, "x", 1), kSqlTruncated);
  EXPECT_EQ(SqlStoreOutput(SqlOutput{&guard, 0, false}, nullptr, 0), kSqlNullFetched);
  EXPECT_EQ(guard, 'Z');
}

TEST(SqliteTranslateTest, ProgramStatements) {
  EXPECT_EQ(SqliteTranslate(kServerTime),
            "select ora_to_char(ora_sysdate(),'dd.mm.yyyy hh24:mi:ss')    ");
  EXPECT_EQ(SqliteTranslate(kQuery),
            "select BewTID ,BewLID ,BewIDN ,BewSto ,ora_to_char(BewDtm,'yyyymmddhh24miss') "
            ",ora_to_char(BewUhr,'yyyymmddhh24miss') ,BewLfn ,BewArt ,BewTas ,BewEra ,BewKze "
            ",BewBer ,BewErq ,BewKst ,BewQua ,BewSrc  from main.Qrv321Bew where (BewUkz<>4 or "
            "BewUkz is null ) order by BewDtm NULLS LAST,BewUhr NULLS LAST            ");
  EXPECT_EQ(SqliteTranslate(kMark),
            "update main.Qrv321Bew  set BewUkz=4,BewUdt=ora_systimestamp() where ((((BewIDN=?1 "
            "and BewSto=?2) and BewDtm=ora_to_date(?3,'yyyymmddhh24miss')) and "
            "BewUhr=ora_to_date(?4,'yyyymmddhh24miss')) and BewLfn=?5)");
  EXPECT_EQ(SqliteTranslate(kPurge),
            "delete  from main.QRV321BEW  where (BewDat<ora_add_months(ora_sysdate(),(-3)) and "
            "BewUkz=4)");
}

TEST(SqliteTranslateTest, TokensNotTexts) {
  const struct {
    const char* oracle;
    const char* sqlite;
  } cases[] = {
      // Literals and quoted names stay as they are.
      {"select 'SYSDATE from dual :b0', \"SYSDATE\" from t",
       "select 'SYSDATE from dual :b0', "
       "\"SYSDATE\" from t"},
      {"select x from qrschema.t, \"QRSCHEMA\".u, \"qrschema\".v",
       "select x from main.t, main.u, \"qrschema\".v"},
      {"select a, b into :b0, :b1 from t where c=:b12", "select a, b  from t where c=?13"},
      {"select x from t order by a desc, b nulls first, c",
       "select x from t order by a desc NULLS FIRST, b nulls first, c NULLS LAST"},
      {"select x from (select y from t order by y) order by x",
       "select x from (select y from t order by y NULLS LAST) order by x NULLS LAST"},
      {"select sysdate_x, my_to_char(1) from dual.t",
       "select sysdate_x, my_to_char(1) from dual.t"},
  };
  for (const auto& c : cases) EXPECT_EQ(SqliteTranslate(c.oracle), c.sqlite) << c.oracle;
}

// ---------------------------------------------------------------------------------------------

TEST_F(SqliteEngineTest, ConnectNeedsAnExistingDatabaseAndCreatesNothing) {
  WriteBytes(dir_.Join("text.db"), "this is no database, only some text\n");
  const std::string cases[] = {
      "scott/tiger@" + dir_.Join("missing.db"),
      "scott/tiger@" + dir_.path(),  // a directory
      "scott/tiger@" + dir_.Join("text.db"),
      "scott/tiger@",  // no service
      "scott/tiger",
      "scott/tiger@:memory:",
  };
  for (const std::string& text : cases) {
    auto rt = NewSqliteRuntime();
    EXPECT_EQ(rt->Connect(text.c_str()), kSqlUnknownService) << text;
    // Nothing runs on a connection that failed.
    EXPECT_EQ(rt->Prepare(kSchema), kSqlNotConnected);
    EXPECT_EQ(rt->Execute(), kSqlNotConnected);
  }
  EXPECT_FALSE(FileExists(dir_.Join("missing.db")));
  EXPECT_EQ(ReadBytes(dir_.Join("text.db")), "this is no database, only some text\n");

  // The service follows the last "@"; user and password are not checked.
  auto rt = NewSqliteRuntime();
  EXPECT_EQ(rt->Connect(("any/p@ss@" + path_).c_str()), 0);
  {
    ScopedCwd cwd(dir_.path());
    auto relative = NewSqliteRuntime();
    EXPECT_EQ(relative->Connect("u/p@bookings.db"), 0);
  }
}

TEST_F(SqliteEngineTest, EveryStatementNeedsAConnection) {
  auto rt = NewSqliteRuntime();
  char out[20] = "unchanged";
  BookingHost host;
  const char* inputs[1] = {"x"};
  EXPECT_EQ(rt->Prepare(kSchema), kSqlNotConnected);
  EXPECT_EQ(rt->Execute(), kSqlNotConnected);
  EXPECT_EQ(rt->SelectInto(kServerTime, out, sizeof out), kSqlNotConnected);
  EXPECT_EQ(rt->OpenCursor(kQuery), kSqlNotConnected);
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlNotConnected);
  EXPECT_EQ(rt->CloseCursor(), kSqlNotConnected);
  EXPECT_EQ(rt->Update(kMark, inputs, 1), kSqlNotConnected);
  EXPECT_EQ(rt->Delete(kPurge), kSqlNotConnected);
  EXPECT_EQ(rt->Commit(), kSqlNotConnected);
  EXPECT_STREQ(out, "unchanged");
}

TEST_F(SqliteEngineTest, ReadOnlyFileIsRefused) {
  namespace fs = std::filesystem;
  fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::FILE* probe = std::fopen(path_.c_str(), "r+b");
  if (probe != nullptr) {
    std::fclose(probe);
    fs::permissions(path_, fs::perms::owner_all);
    GTEST_SKIP() << "this user can write a read-only file";
  }
  auto rt = NewSqliteRuntime();
  EXPECT_EQ(rt->Connect(("u/p@" + path_).c_str()), -16000);
  fs::permissions(path_, fs::perms::owner_all);
}

TEST_F(SqliteEngineTest, SchemaSwitch) {
  const struct {
    const char* statement;
    int code;
  } cases[] = {
      {"ALTER SESSION SET CURRENT_SCHEMA=QRSCHEMA", 0},
      {"ALTER SESSION SET CURRENT_SCHEMA=qrschema", 0},
      {"alter session set current_schema = QrSchema", 0},
      {"ALTER SESSION SET CURRENT_SCHEMA=\"QRSCHEMA\"", 0},
      {"ALTER SESSION SET CURRENT_SCHEMA=\"qrschema\"", kSqlUnknownUser},
      {"ALTER SESSION SET CURRENT_SCHEMA=SCOTT", kSqlUnknownUser},
      {"ALTER SESSION SET CURRENT_SCHEMA=", -922},
      {"ALTER SESSION SET NLS_DATE_FORMAT='YYYY'", -2248},
  };
  for (const auto& c : cases) {
    auto rt = NewSqliteRuntime();
    ASSERT_EQ(rt->Connect(("u/p@" + path_).c_str()), 0);
    EXPECT_EQ(rt->Execute(), -1003) << "nothing prepared yet";
    EXPECT_EQ(rt->Prepare(c.statement), c.code) << c.statement;
    EXPECT_EQ(rt->Execute(), c.code) << c.statement;
  }
}

TEST_F(SqliteEngineTest, ServerTimeQuery) {
  auto rt = Open(Local(2024, 12, 9, 7, 5, 0));
  char out[20];
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(rt->SelectInto(kServerTime, out, sizeof out), 0);
  EXPECT_STREQ(out, "09.12.2024 07:05:00");

  char shortOut[19];
  EXPECT_EQ(rt->SelectInto(kServerTime, shortOut, sizeof shortOut), kSqlTruncated);
  EXPECT_STREQ(shortOut, "09.12.2024 07:05:0");

  // A query that fails or finds no row leaves the host variable as it was.
  char kept[20] = "unchanged";
  EXPECT_EQ(rt->SelectInto("select BewIDN into :b0 from QRSCHEMA.Missing", kept, sizeof kept),
            kSqlTableMissing);
  EXPECT_EQ(rt->SelectInto("select BewIDN into :b0 from QRSCHEMA.Qrv321Bew", kept, sizeof kept),
            kSqlNoData);
  EXPECT_STREQ(kept, "unchanged");
}

TEST_F(SqliteEngineTest, FormatModels) {
  auto rt = Open(Local(2024, 12, 9, 7, 5, 0));
  const struct {
    const char* expression;
    int code;
    const char* result;
  } cases[] = {
      {"to_char(to_date('20240229235958','yyyymmddhh24miss'),'yyyymmddhh24miss')", 0,
       "20240229235958"},
      {"to_char(to_date('20240229235958','YYYYMMDDHH24MISS'),'DD.MM.YYYY HH24:MI:SS')", 0,
       "29.02.2024 23:59:58"},
      {"to_date('09.12.2024 07:05:00','dd.mm.yyyy hh24:mi:ss')", 0, "2024-12-09 07:05:00"},
      {"to_char(to_date('20240229130500','yyyymmddhh24miss'),'hh:mi')", 0, "01:05"},
      {"to_date('20241209','yyyymmddhh24miss')", 0, "2024-12-09 00:00:00"},
      {"to_char('2024-12-09 07:05:00.123456 +01:00','yyyymmddhh24miss')", 0, "20241209070500"},
      // Oracle's NULL: NULL and the empty text give NULL (-1405 without an indicator).
      {"to_date('','yyyymmddhh24miss')", kSqlNullFetched, ""},
      {"to_date(NULL,'yyyymmddhh24miss')", kSqlNullFetched, ""},
      {"to_char(NULL,'yyyymmddhh24miss')", kSqlNullFetched, ""},
      {"ADD_MONTHS(NULL,1)", kSqlNullFetched, ""},
      // Invalid input, with Oracle's numbers.
      {"to_date('20241309000000','yyyymmddhh24miss')", -1843, "unchanged"},
      {"to_date('20230229000000','yyyymmddhh24miss')", -1847, "unchanged"},
      {"to_date('20241200000000','yyyymmddhh24miss')", -1847, "unchanged"},
      {"to_date('20241209250000','yyyymmddhh24miss')", -1850, "unchanged"},
      {"to_date('20241209126000','yyyymmddhh24miss')", -1851, "unchanged"},
      {"to_date('20241209120060','yyyymmddhh24miss')", -1852, "unchanged"},
      {"to_date('00001209120000','yyyymmddhh24miss')", -1841, "unchanged"},
      {"to_date('2024120912000000','yyyymmddhh24miss')", -1830, "unchanged"},
      {"to_date('202412','yyyymmddhh24miss')", -1840, "unchanged"},
      {"to_date('2024-12-09','yyyymmdd')", -1858, "unchanged"},
      {"to_date('09x12.2024','dd.mm.yyyy')", -1861, "unchanged"},
      {"to_char(to_date('20241209','yyyymmdd'),'yyyy-q')", -1821, "unchanged"},
      {"to_char('9.12.2024','yyyy')", -1861, "unchanged"},
      {"ADD_MONTHS('2024-01-31 00:00:00','x')", -1722, "unchanged"},
  };
  for (const auto& c : cases) {
    int code = 0;
    const std::string result = Select(*rt, c.expression, &code);
    EXPECT_EQ(code, c.code) << c.expression;
    EXPECT_EQ(result, c.result) << c.expression;
  }
}

TEST_F(SqliteEngineTest, AddMonthsKeepsMonthEnds) {
  auto rt = Open();
  const struct {
    const char* date;
    int months;
    const char* result;
  } cases[] = {
      {"20240131101112", 1, "20240229101112"},  // leap year
      {"20230131101112", 1, "20230228101112"},
      {"20240229000000", 1, "20240331000000"},  // last day stays last day
      {"20240228000000", 1, "20240328000000"},
      {"20230228000000", 12, "20240229000000"},
      {"20240229000000", 12, "20250228000000"},
      {"20240331235959", -1, "20240229235959"},
      {"20240430000000", -3, "20240131000000"},
      {"20240531120000", -3, "20240229120000"},
      {"20230531120000", -3, "20230228120000"},
      {"20240530120000", -3, "20240229120000"},
      {"20240115000000", -13, "20221215000000"},
      {"20241231000000", 2, "20250228000000"},
      {"20000229000000", -12, "19990228000000"},
  };
  for (const auto& c : cases) {
    int code = 0;
    const std::string result =
        Select(*rt,
               std::string("to_char(ADD_MONTHS(to_date('") + c.date + "','yyyymmddhh24miss')," +
                   std::to_string(c.months) + "),'yyyymmddhh24miss')",
               &code);
    EXPECT_EQ(code, 0) << c.date << " " << c.months;
    EXPECT_EQ(result, c.result) << c.date << " " << c.months;
  }
}

TEST_F(SqliteEngineTest, SystimestampCarriesFractionAndOffset) {
  const std::time_t now = Local(2024, 7, 1, 12, 30, 45);
  auto rt = Open(now);
  int code = 0;
  const std::string stamp = Select(*rt, "SYSTIMESTAMP", &code);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(2024-07-01 12:30:45\.000000 [+-]\d\d:\d\d)")))
      << stamp;
  // The offset is this machine's at that time.
  std::tm utc{};
  std::tm* g = std::gmtime(&now);
  ASSERT_NE(g, nullptr);
  utc = *g;
  const int dayShift = utc.tm_mon == 5 ? 1440 : utc.tm_mday == 2 ? -1440 : 0;
  const int minutes = (12 * 60 + 30) - (utc.tm_hour * 60 + utc.tm_min) + dayShift;
  char expected[32];
  std::snprintf(expected, sizeof expected, "%c%02d:%02d", minutes < 0 ? '-' : '+',
                std::abs(minutes) / 60, std::abs(minutes) % 60);
  EXPECT_EQ(stamp.substr(stamp.size() - 6), expected);
}

// ---------------------------------------------------------------------------------------------
// The cursor.

TEST_F(SqliteEngineTest, CursorSelectsUntransferredRowsInDateOrderNullsLast) {
  {
    RawDb raw(path_);
    raw.Add("late", "2024-12-02 08:00:00", std::nullopt);
    raw.Add("done", "2024-12-01 06:00:00", 4);  // transferred: not selected
    raw.Add("nodate", std::nullopt, std::nullopt);
    raw.Add("zero", "2024-12-01 07:00:00", 0);
    raw.Add("other", "2024-12-01 09:00:00", 7);
    raw.Add("twin", "2024-12-01 09:00:00", std::nullopt, "2024-12-01 00:00:00", "2");
  }
  auto rt = Open();
  ASSERT_EQ(rt->OpenCursor(kQuery), 0);
  BookingHost host;
  std::vector<std::string> ids;
  int code = 0;
  while ((code = rt->Fetch(host.out, 16)) == 0 || code == kSqlNullFetched) {
    ids.push_back(host.IDN() + (code == kSqlNullFetched ? "!" : ""));
    if (host.IDN() == "zero") {
      EXPECT_EQ(host.Dtm(), "20241201000000");
      EXPECT_EQ(host.Uhr(), "20241201070000");
    }
  }
  EXPECT_EQ(code, kSqlNoData);
  ASSERT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids[0], "zero");
  // Equal date and time: both arrive, in either order.
  EXPECT_TRUE((ids[1] == "other" && ids[2] == "twin") || (ids[1] == "twin" && ids[2] == "other"));
  EXPECT_EQ(ids[3], "late");
  EXPECT_EQ(ids[4], "nodate!");  // Oracle sorts NULL last; the NULL key reports -1405
  EXPECT_EQ(rt->CloseCursor(), 0);
}

TEST_F(SqliteEngineTest, FetchReportsNullAndCutKeyColumnsOnly) {
  const struct {
    const char* column;
    const char* value;  // nullptr: NULL
    int code;
  } cases[] = {
      {"BewIDN", nullptr, kSqlNullFetched},
      {"BewIDN", "''", kSqlNullFetched},
      {"BewSto", nullptr, kSqlNullFetched},
      {"BewDtm", nullptr, kSqlNullFetched},
      {"BewUhr", "''", kSqlNullFetched},
      {"BewLfn", nullptr, kSqlNullFetched},
      {"BewLfn", "'1234'", kSqlTruncated},
      {"BewIDN", "' '", 0},
      {"BewTID", nullptr, 0},
      {"BewSrc", "''", 0},
      {"BewSrc", "'LONGER'", 0},
      {"BewKst", nullptr, 0},
  };
  for (const auto& c : cases) {
    {
      RawDb raw(path_);
      raw.Exec("DELETE FROM Qrv321Bew");
      raw.Add("id", "2024-12-01 07:00:00", std::nullopt);
      raw.Exec(std::string("UPDATE Qrv321Bew SET ") + c.column + "=" +
               (c.value != nullptr ? c.value : "NULL"));
    }
    auto rt = Open();
    ASSERT_EQ(rt->OpenCursor(kQuery), 0);
    BookingHost host;
    EXPECT_EQ(rt->Fetch(host.out, 16), c.code) << c.column << "=" << (c.value ? c.value : "NULL");
    if (std::strcmp(c.column, "BewLfn") == 0 && c.value != nullptr) {
      EXPECT_STREQ(host.field[6], "123");
    }
    if (std::strcmp(c.column, "BewSrc") == 0 && c.value != nullptr && c.value[1] != '\'') {
      EXPECT_STREQ(host.field[15], "LON");
    }
    EXPECT_EQ(rt->Fetch(host.out, 16), kSqlNoData);
  }
}

TEST_F(SqliteEngineTest, EndOfRowsClearsTheOutputs) {
  auto rt = Open();
  ASSERT_EQ(rt->OpenCursor(kQuery), 0);
  BookingHost host;
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlNoData);
  for (std::size_t i = 0; i < 16; ++i) {
    for (std::size_t b = 0; b < BookingHost::kCapacity[i]; ++b) {
      ASSERT_EQ(host.field[i][b], 0) << i;
    }
    if (BookingHost::kCapacity[i] < 256) {
      EXPECT_EQ(host.field[i][BookingHost::kCapacity[i]], 'Z') << i;
    }
  }
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlNoData);
}

TEST_F(SqliteEngineTest, CursorThatIsNotOpenDeliversNoRow) {
  {
    RawDb raw(path_);
    raw.Add("id", "2024-12-01 07:00:00", std::nullopt);
  }
  auto rt = Open();
  BookingHost host;
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlInvalidCursor);
  EXPECT_EQ(rt->CloseCursor(), kSqlInvalidCursor);

  ASSERT_EQ(rt->OpenCursor(kQuery), 0);
  EXPECT_EQ(rt->CloseCursor(), 0);
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlInvalidCursor);

  // A failed OPEN: every FETCH repeats its error.
  EXPECT_EQ(rt->OpenCursor("select BewIDN from QRSCHEMA.NoSuchTable order by BewIDN"),
            kSqlTableMissing);
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlTableMissing);
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlTableMissing);
  EXPECT_EQ(rt->CloseCursor(), kSqlInvalidCursor);

  // More outputs than the query has columns.
  ASSERT_EQ(rt->OpenCursor("select BewIDN from QRSCHEMA.Qrv321Bew"), 0);
  EXPECT_EQ(rt->Fetch(host.out, 2), -1007);
  EXPECT_EQ(rt->Fetch(host.out, 1), 0);
  EXPECT_EQ(host.Text(0), "id");
}

// The marks of the same session between fetches must not move the cursor's rows, also when
// an index on BewUkz would let SQLite read the changing rows live.
TEST_F(SqliteEngineTest, CursorStaysStableWhileTheSessionMarksRows) {
  const int kRows = 300;
  {
    RawDb raw(path_);
    raw.Exec("CREATE INDEX Qrv321Bew_Ukz ON Qrv321Bew (BewUkz)");
    raw.Exec("BEGIN");
    for (int i = 0; i < kRows; ++i) {
      char when[32];
      std::snprintf(when, sizeof when, "2024-11-%02d %02d:%02d:00", 1 + (i * 7) % 28, i % 24,
                    (i * 13) % 60);
      std::string idn = "E";
      idn += std::to_string(i);
      raw.Add(idn, when, i % 3 == 0 ? std::optional<int>() : 0);
    }
    raw.Add("old", "2024-11-01 00:00:00", 4);
    raw.Exec("COMMIT");
  }
  auto rt = Open();
  ASSERT_EQ(rt->OpenCursor(kQuery), 0);
  BookingHost host;
  std::vector<std::string> seen;
  std::string last;
  int code = 0;
  while ((code = rt->Fetch(host.out, 16)) == 0) {
    const std::string key = host.Dtm() + host.Uhr();
    EXPECT_LE(last, key);
    last = key;
    seen.push_back(host.IDN());
    ASSERT_EQ(host.Mark(*rt), 0) << host.IDN();
    ASSERT_LE(seen.size(), static_cast<std::size_t>(kRows));
  }
  EXPECT_EQ(code, kSqlNoData);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kRows));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(rt->CloseCursor(), 0);
  EXPECT_EQ(rt->Commit(), 0);
  RawDb raw(path_);
  EXPECT_EQ(raw.Query("SELECT count(*) FROM Qrv321Bew WHERE BewUkz=4 AND BewUdt LIKE "
                      "'2024-12-09 07:05:00.000000 %'"),
            std::to_string(kRows) + "\n");
}

// ---------------------------------------------------------------------------------------------
// Marking, purge and the transaction.

TEST_F(SqliteEngineTest, MarkFindsItsRowByTheBoundKey) {
  {
    RawDb raw(path_);
    raw.Add("A", "2024-12-01 07:00:00", std::nullopt);
    raw.Add(" ", "2024-12-01 07:00:00", std::nullopt);
    raw.Add(std::nullopt, "2024-12-01 07:00:00", std::nullopt);
    raw.Add("", "2024-12-01 07:00:00", std::nullopt);
  }
  auto rt = Open();
  auto mark = [&](const char* idn, const char* dtm, const char* uhr) {
    const char* inputs[5] = {idn, "S1", dtm, uhr, "1"};
    return rt->Update(kMark, inputs, 5);
  };
  EXPECT_EQ(mark("A", "20241201000000", "20241201070000"), 0);
  EXPECT_EQ(mark("A", "20241201000000", "20241201070000"), 0);  // already 4: found again
  EXPECT_EQ(mark("A", "20241201000000", "20241201070001"), kSqlNoData);
  EXPECT_EQ(mark(" ", "20241201000000", "20241201070000"), 0);
  EXPECT_EQ(mark("", "20241201000000", "20241201070000"), kSqlNoData);  // empty is NULL
  EXPECT_EQ(mark("A", "", "20241201070000"), kSqlNoData);
  EXPECT_EQ(mark("A", "2024x201000000", "20241201070000"), -1858);
  const char* tooFew[2] = {"A", "S1"};
  EXPECT_EQ(rt->Update(kMark, tooFew, 2), -1008);
  ASSERT_EQ(rt->Commit(), 0);
  RawDb raw(path_);
  EXPECT_EQ(raw.Query("SELECT quote(BewIDN), BewUkz FROM Qrv321Bew ORDER BY rowid"),
            "'A'|4\n' '|4\nNULL|~\n''|~\n");
}

TEST_F(SqliteEngineTest, MarksStayInvisibleUntilTheCommit) {
  {
    RawDb raw(path_);
    raw.Add("A", "2024-12-01 07:00:00", std::nullopt);
  }
  auto rt = Open();
  const char* inputs[5] = {"A", "S1", "20241201000000", "20241201070000", "1"};
  ASSERT_EQ(rt->Update(kMark, inputs, 5), 0);
  RawDb other(path_);
  EXPECT_EQ(other.Query("SELECT BewUkz FROM Qrv321Bew"), "~\n");
  ASSERT_EQ(rt->Commit(), 0);
  EXPECT_EQ(other.Query("SELECT BewUkz FROM Qrv321Bew"), "4\n");
  EXPECT_EQ(rt->Commit(), 0);  // nothing left to commit
}

TEST_F(SqliteEngineTest, RuntimeGoneWithoutCommitLeavesTheFileUnchanged) {
  {
    RawDb raw(path_);
    raw.Add("A", "2024-12-01 07:00:00", std::nullopt);
    raw.Add("B", "2020-01-01 07:00:00", 4, "2020-01-01 00:00:00");
  }
  const std::string before = ReadBytes(path_);
  {
    auto rt = Open();
    ASSERT_EQ(rt->OpenCursor(kQuery), 0);
    BookingHost host;
    ASSERT_EQ(rt->Fetch(host.out, 16), 0);
    ASSERT_EQ(host.Mark(*rt), 0);
    ASSERT_EQ(rt->Delete(kPurge), 0);
  }
  EXPECT_EQ(ReadBytes(path_), before);
  RawDb raw(path_);
  EXPECT_EQ(raw.Query("SELECT BewIDN, BewUkz FROM Qrv321Bew ORDER BY BewIDN"), "A|~\nB|4\n");
}

TEST_F(SqliteEngineTest, PurgeCutsThreeCalendarMonthsBackAtMonthEnd) {
  {
    RawDb raw(path_);
    raw.Add("gone", "2024-02-29 11:00:00", 4, "2024-02-29 11:59:59");
    raw.Add("cutoff", "2024-02-29 12:00:00", 4, "2024-02-29 12:00:00");
    raw.Add("recent", "2024-05-01 12:00:00", 4, "2024-05-01 12:00:00");
    raw.Add("untransferred", "2020-01-01 12:00:00", std::nullopt, "2020-01-01 00:00:00");
    raw.Add("other", "2020-01-01 12:00:00", 3, "2020-01-01 00:00:00");
  }
  // 31 May 12:00 less three months is 29 February 12:00.
  auto rt = Open(Local(2024, 5, 31, 12, 0, 0));
  EXPECT_EQ(rt->Delete(kPurge), 0);
  EXPECT_EQ(rt->Delete(kPurge), kSqlNoData);  // nothing left to delete
  ASSERT_EQ(rt->Commit(), 0);
  RawDb raw(path_);
  EXPECT_EQ(raw.Query("SELECT BewIDN FROM Qrv321Bew ORDER BY BewIDN"),
            "cutoff\nother\nrecent\nuntransferred\n");
}

TEST_F(SqliteEngineTest, MissingTable) {
  {
    RawDb raw(path_);
    raw.Exec("DROP TABLE Qrv321Bew");
  }
  auto rt = Open();
  const char* inputs[5] = {"A", "S1", "20241201000000", "20241201070000", "1"};
  EXPECT_EQ(rt->OpenCursor(kQuery), kSqlTableMissing);
  BookingHost host;
  EXPECT_EQ(rt->Fetch(host.out, 16), kSqlTableMissing);
  EXPECT_EQ(rt->Update(kMark, inputs, 5), kSqlTableMissing);
  EXPECT_EQ(rt->Delete(kPurge), kSqlTableMissing);
  EXPECT_EQ(rt->Commit(), 0);
}

TEST_F(SqliteEngineTest, AnotherWriterMakesTheSessionBusy) {
  RawDb other(path_);
  other.Exec("BEGIN IMMEDIATE");
  auto rt = NewSqliteRuntime({}, 50);
  ASSERT_EQ(rt->Connect(("u/p@" + path_).c_str()), 0);
  EXPECT_EQ(rt->Prepare(kSchema), 0);
  EXPECT_EQ(rt->Execute(), kSqlResourceBusy);
  other.Exec("COMMIT");
  EXPECT_EQ(rt->Execute(), 0);
}

// ---------------------------------------------------------------------------------------------
// Databases made by the admin tool.

TEST(SqliteDemoDbTest, InitDbCreatesTheTableOnce) {
  ScratchDir dir;
  const std::string path = dir.Join("empty.db");
  std::string error;
  ASSERT_TRUE(SqliteInitDb(path.c_str(), &error)) << error;
  EXPECT_FALSE(SqliteInitDb(path.c_str(), &error));
  EXPECT_NE(error.find("already holds"), std::string::npos) << error;
  RawDb raw(path);
  EXPECT_EQ(raw.Query("SELECT count(*) FROM pragma_table_info('Qrv321Bew')"), "19\n");
  EXPECT_EQ(raw.Query("SELECT group_concat(name) FROM (SELECT name FROM pragma_index_info("
                      "'Qrv321Bew_Key') ORDER BY seqno)"),
            "BewIDN,BewSto,BewDtm,BewUhr,BewLfn\n");
  EXPECT_EQ(raw.Query("SELECT group_concat(name) FROM (SELECT name FROM pragma_index_info("
                      "'Qrv321Bew_Time') ORDER BY seqno)"),
            "BewDtm,BewUhr\n");

  WriteBytes(dir.Join("text.db"), "no database\n");
  EXPECT_FALSE(SqliteInitDb(dir.Join("text.db").c_str(), &error));
  EXPECT_EQ(ReadBytes(dir.Join("text.db")), "no database\n");
}

TEST(SqliteDemoDbTest, DemoRowsAreDeterministicAndCoverTheRules) {
  ScratchDir dir;
  const std::time_t now = Local(2024, 12, 9, 7, 5, 0);
  const std::string a = dir.Join("a.db");
  const std::string b = dir.Join("b.db");
  std::string error;
  ASSERT_TRUE(SqliteDemoDb(a.c_str(), 400, &error, now)) << error;
  ASSERT_TRUE(SqliteDemoDb(b.c_str(), 400, &error, now)) << error;
  EXPECT_FALSE(SqliteDemoDb(a.c_str(), 10, &error, now));
  const std::string dump = "SELECT * FROM Qrv321Bew ORDER BY rowid";
  RawDb ra(a);
  RawDb rb(b);
  EXPECT_EQ(ra.Query(dump), rb.Query(dump));
  EXPECT_EQ(ra.Query("SELECT count(*) FROM Qrv321Bew"), "400\n");
  EXPECT_EQ(ra.Query("SELECT group_concat(s) FROM (SELECT DISTINCT quote(BewSrc) s FROM "
                     "Qrv321Bew WHERE BewSrc IN ('DTA','40P','62P','50P','dta') OR BewSrc "
                     "IS NULL ORDER BY 1)"),
            "'40P','50P','62P','DTA','dta',NULL\n");
  EXPECT_EQ(ra.Query("SELECT count(DISTINCT BewEra) FROM Qrv321Bew WHERE BewSrc='DTA' AND "
                     "BewEra IN ('200','201','202','203','204','205','206','207','208','430',"
                     "'431','500','501','100','426')"),
            "15\n");
  EXPECT_NE(ra.Query("SELECT count(*) FROM Qrv321Bew WHERE BewSrc NOT IN "
                     "('DTA','40P','62P','50P','dta')"),
            "0\n");
  EXPECT_NE(ra.Query("SELECT count(*) FROM Qrv321Bew WHERE BewUkz=4 AND "
                     "BewDat<'2024-09-09 07:05:00'"),
            "0\n");
  EXPECT_NE(ra.Query("SELECT count(*) FROM Qrv321Bew WHERE BewUkz=4 AND "
                     "BewDat>'2024-09-09 07:05:00'"),
            "0\n");

  // A run over the demo: every row is delivered and marked, except those whose key has a
  // NULL (or empty) column, which the mark cannot find.
  auto rt = NewSqliteRuntime(FixedClock(now));
  ASSERT_EQ(rt->Connect(("u/p@" + a).c_str()), 0);
  ASSERT_EQ(rt->Prepare(kSchema), 0);
  ASSERT_EQ(rt->Execute(), 0);
  ASSERT_EQ(rt->OpenCursor(kQuery), 0);
  BookingHost host;
  int code = 0;
  int rows = 0;
  int nullKeys = 0;
  while ((code = rt->Fetch(host.out, 16)) == 0 || code == kSqlNullFetched) {
    ++rows;
    if (code == kSqlNullFetched) ++nullKeys;
    const int marked = host.Mark(*rt);
    EXPECT_EQ(marked, code == 0 ? 0 : kSqlNoData) << rows;
  }
  EXPECT_EQ(code, kSqlNoData);
  EXPECT_EQ(ra.Query("SELECT count(*) FROM Qrv321Bew WHERE BewUkz IS NOT 4"),
            std::to_string(rows) + "\n");
  EXPECT_GE(nullKeys, 5);
  EXPECT_EQ(rt->CloseCursor(), 0);
  EXPECT_EQ(rt->Delete(kPurge), 0);
  EXPECT_EQ(rt->Commit(), 0);
  EXPECT_EQ(ra.Query("SELECT count(*) FROM Qrv321Bew WHERE BewUkz IS NOT 4"),
            std::to_string(nullKeys) + "\n");
  EXPECT_EQ(ra.Query("SELECT count(*) FROM Qrv321Bew WHERE BewUkz=4 AND "
                     "BewDat<'2024-09-09 07:05:00'"),
            "0\n");
}

}  // namespace
