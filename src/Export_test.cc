// The whole export run against every database engine: the same cases, run through the real
// executables (and, where a test has to look inside a run, in this process).

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BfCrypt.h"
#include "DemoDb.h"
#include "IniHlp.h"
#include "RavelstokSQL.h"
#include "SQLHlp.h"
#include "SqlRuntime.h"
#include "SqliteEngine.h"
#include "test_db.h"
#include "test_util.h"

#ifdef DORNVIK_HAVE_PG
#include <libpq-fe.h>

#include "PgEngine.h"
#endif
#ifdef DORNVIK_HAVE_ODBC
#include "OdbcEngine.h"
#endif

namespace {

const char kNull[] = "<null>";

// A row of the booking table; unset columns are NULL.
struct Booking {
  std::optional<std::string> tid = "T01", lid = "2", idn, sto = "01", dtm, uhr, lfn = "1",
                             art = "1", tas, era = "100", kze, ber, erq, kst, qua, src = "62P";
  std::optional<std::string> ukz, dat;

  // Booking at "YYYY-MM-DD" and "HH:MM:SS".
  static Booking At(const std::string& id, const std::string& day, const std::string& time) {
    Booking b;
    b.idn = id;
    b.dtm = day + " 00:00:00";
    b.uhr = day + " " + time;
    b.dat = day + " 00:00:00";
    return b;
  }
};

std::string Literal(const std::optional<std::string>& v) {
  if (!v) return "NULL";
  std::string quoted = "'";
  for (char c : *v) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

// "YYYY-MM-DD HH:MM:SS" of a local time.
std::string LocalText(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// Days before today, as "YYYY-MM-DD".
std::string DaysAgo(int days) {
  return LocalText(std::time(nullptr) - static_cast<std::time_t>(days) * 86400).substr(0, 10);
}

// One database engine as the tests drive it.
class Engine {
 public:
  virtual ~Engine() = default;
  virtual const char* executable() const = 0;
  // Empty when the engine can run here; else why not.
  virtual std::string Unavailable() const { return ""; }
  // A fresh, empty booking table; `runDir` is the program's working directory.
  virtual void Create(const std::string& runDir) = 0;
  virtual std::string user() const { return "scott"; }
  virtual std::string password() const { return "tiger"; }
  virtual std::string service() const = 0;
  virtual std::string table() const = 0;
  // Statements on a connection of their own, committed at once.
  virtual void Exec(const std::string& sql) = 0;
  virtual Rows Query(const std::string& sql) = 0;
  virtual std::unique_ptr<SqlRuntime> NewRuntime() = 0;
  // Settings that fail the session, with the code they must give (empty: not possible).
  virtual std::optional<std::pair<std::string, std::string>> WrongPassword() const = 0;
  virtual std::string UnknownService() const = 0;
  virtual std::optional<std::string> NoServer() const = 0;
  virtual std::optional<std::string> UnknownSchema() const = 0;

  void Insert(const Booking& b) { Insert(std::vector<Booking>{b}); }

  // All rows in one statement.
  void Insert(const std::vector<Booking>& rows) {
    std::string sql = "insert into " + table() +
                      " (BewTID,BewLID,BewIDN,BewSto,BewDtm,BewUhr,BewLfn,BewArt,BewTas,BewEra,"
                      "BewKze,BewBer,BewErq,BewKst,BewQua,BewSrc,BewUkz,BewDat) values ";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Booking& b = rows[i];
      sql += std::string(i == 0 ? "" : ",") + "(" + Literal(b.tid) + "," + Literal(b.lid) + "," +
             Literal(b.idn) + "," + Literal(b.sto) + "," + Literal(b.dtm) + "," + Literal(b.uhr) +
             "," + Literal(b.lfn) + "," + Literal(b.art) + "," + Literal(b.tas) + "," +
             Literal(b.era) + "," + Literal(b.kze) + "," + Literal(b.ber) + "," + Literal(b.erq) +
             "," + Literal(b.kst) + "," + Literal(b.qua) + "," + Literal(b.src) + "," +
             (b.ukz ? *b.ukz : "NULL") + "," + Literal(b.dat) + ")";
    }
    Exec(sql);
  }

  // BewIDN -> BewUkz of every row, by BewIDN.
  Rows Marks() {
    return Query(
        "select BewIDN, BewUkz, case when BewUdt is null then 'open' else 'dated' end "
        "from " +
        table() + " order by BewIDN");
  }
};

class SqliteEngine : public Engine {
 public:
  const char* executable() const override { return "Dornvik_SQLite"; }
  void Create(const std::string& runDir) override {
    path_ = runDir + "/bookings.db";
    std::string error;
    ASSERT_TRUE(SqliteInitDb(path_.c_str(), &error)) << error;
  }
  std::string service() const override { return "bookings.db"; }
  std::string table() const override { return "Qrv321Bew"; }
  void Exec(const std::string& sql) override { SqliteExec(path_, sql); }
  Rows Query(const std::string& sql) override { return SqliteRows(path_, sql, kNull); }
  std::unique_ptr<SqlRuntime> NewRuntime() override { return NewSqliteRuntime(); }
  std::optional<std::pair<std::string, std::string>> WrongPassword() const override {
    return std::nullopt;  // SQLite has no users
  }
  std::string UnknownService() const override { return "missing.db"; }
  std::optional<std::string> NoServer() const override { return std::nullopt; }
  std::optional<std::string> UnknownSchema() const override { return std::nullopt; }

 private:
  std::string path_;
};

#ifdef DORNVIK_HAVE_PG
// The server of the test cluster, driven through libpq; its table is emptied for each test.
class PgServerEngine : public Engine {
 public:
  const char* executable() const override { return "Dornvik_PostgreSQL"; }
  std::string Unavailable() const override {
    return TestEnv("DORNVIK_PG_CONNINFO") ? ""
                                          : "no PostgreSQL test cluster (scripts/pg-cluster.sh)";
  }
  void Create(const std::string&) override { Exec("delete from " + table()); }
  std::string user() const override { return TestEnv("DORNVIK_PG_USER"); }
  std::string password() const override { return TestEnv("DORNVIK_PG_PASSWORD"); }
  std::string service() const override { return TestEnv("DORNVIK_PG_SERVICE"); }
  std::string table() const override { return "qrschema.qrv321bew"; }
  void Exec(const std::string& sql) override { Query(sql); }
  Rows Query(const std::string& sql) override {
    return PgRows(TestEnv("DORNVIK_PG_CONNINFO"), sql, kNull);
  }
  std::unique_ptr<SqlRuntime> NewRuntime() override { return NewPgRuntime(); }
  std::optional<std::pair<std::string, std::string>> WrongPassword() const override {
    return std::make_pair(user(), std::string("falsch"));
  }
  std::string UnknownService() const override { return "nosuchservice"; }
  std::optional<std::string> NoServer() const override {
    return std::string("127.0.0.1:1/") + TestEnv("DORNVIK_PG_DB");
  }
  std::optional<std::string> UnknownSchema() const override {
    return std::string(TestEnv("DORNVIK_PG_HOST")) + ":" + TestEnv("DORNVIK_PG_PORT") + "/postgres";
  }
};
#endif

#ifdef DORNVIK_HAVE_ODBC
// The same server through the ODBC driver manager and psqlODBC.
class OdbcServerEngine : public PgServerEngine {
 public:
  const char* executable() const override { return "Dornvik_ODBC"; }
  std::string Unavailable() const override {
    return TestEnv("DORNVIK_ODBC_DSN") ? PgServerEngine::Unavailable() : "no ODBC data source";
  }
  std::string service() const override { return TestEnv("DORNVIK_ODBC_DSN"); }
  std::unique_ptr<SqlRuntime> NewRuntime() override { return NewOdbcRuntime(); }
  std::string UnknownService() const override { return "NoSuchDsn"; }
  std::optional<std::string> NoServer() const override { return std::nullopt; }
  std::optional<std::string> UnknownSchema() const override { return std::nullopt; }
};
#endif

std::unique_ptr<Engine> MakeEngine(const std::string& name) {
#ifdef DORNVIK_HAVE_PG
  if (name == "PostgreSQL") return std::make_unique<PgServerEngine>();
#endif
#ifdef DORNVIK_HAVE_ODBC
  if (name == "ODBC") return std::make_unique<OdbcServerEngine>();
#endif
  if (name == "SQLite") return std::make_unique<SqliteEngine>();
  return nullptr;
}

class ExportTest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    engine_ = MakeEngine(GetParam());
    if (!engine_) GTEST_SKIP() << GetParam() << " is not built here";
    std::string why = engine_->Unavailable();
    if (!why.empty()) {
      const char* require = std::getenv("DORNVIK_REQUIRE_PG");
      if (require && std::strcmp(require, "1") == 0) FAIL() << why;
      GTEST_SKIP() << why;
    }
    run_ = dir_.Join("srv/run");
    MakeDirs(run_);
    MakeDirs(dir_.Join("Velmorand_php/log"));
    MakeDirs(run_ + "/EXPORT");
    engine_->Create(run_);
    WriteSettings(engine_->user(), engine_->password(), engine_->service());
  }

  void WriteSettings(const std::string& user, const std::string& password,
                     const std::string& service) {
    WriteBytes(run_ + "/Velmorand.ini", SettingsRecord(1, "LOGIN", user) +
                                            SettingsRecord(2, "PASS", password) +
                                            SettingsRecord(3, "NET8", service));
  }

  ProcessResult Export(std::vector<std::string> extra = {"export"}) {
    std::vector<std::string> argv = {BuildExecutable(engine_->executable()), "Velmorand.ini"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProcess(argv, run_);
  }

  std::string Delivered() const { return ReadBytes(run_ + "/EXPORT/BEWDATA.dat"); }
  std::string Log() const { return ReadBytes(dir_.Join("Velmorand_php/log/Ravelstok#Log.txt")); }

  ScratchDir dir_;
  std::string run_;
  std::unique_ptr<Engine> engine_;
};

std::string Line(const std::string& idn, const std::string& sto, const std::string& date,
                 const std::string& time, const std::string& era, const std::string& src) {
  return idn + "," + sto + "," + date + "," + time + ",1,T01,2,1,,,,," + era + ",,," + src + "\n";
}

TEST_P(ExportTest, FullRunDeliversInOrderMarksEveryRowAndPurges) {
  const std::string d1 = DaysAgo(3), d2 = DaysAgo(2), old = DaysAgo(130), recent = DaysAgo(60);
  auto compact = [](const std::string& day) {
    return day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
  };
  Booking later = Booking::At("3", d2, "08:00:00");  // second on d2
  Booking first = Booking::At("1", d1, "09:00:00");  // DTA 201: written as 204
  first.src = "DTA";
  first.era = "201";
  Booking quiet = Booking::At("2", d2, "07:00:00");  // unknown source: only marked
  quiet.src = "XYZ";
  Booking done = Booking::At("4", d1, "06:00:00");  // already transferred
  done.ukz = "4";
  Booking other = Booking::At("5", d2, "09:30:00");  // BewUkz 7 is not transferred
  other.ukz = "7";
  other.src = "50p";
  Booking stale = Booking::At("6", old, "10:00:00");  // exported, marked, then purged
  stale.src = "40P";
  stale.ber = "1";
  Booking gone = Booking::At("7", old, "11:00:00");  // transferred long ago: purged
  gone.ukz = "4";
  Booking kept = Booking::At("8", recent, "11:00:00");  // transferred lately: kept
  kept.ukz = "4";
  Booking oldOpen = Booking::At("9", old, "12:00:00");  // old, not yet transferred: it is
  oldOpen.ukz = "3";                                    // marked, and so purged as well
  oldOpen.src = "xyz";
  for (const Booking& b : {later, first, quiet, done, other, stale, gone, kept, oldOpen}) {
    engine_->Insert(b);
  }

  ProcessResult r = Export({"export", "/D"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(Delivered(), "6,01," + compact(old) + ",100000,1,T01,2,1,,,,1,204,,,40P\n" +
                             Line("1", "01", compact(d1), "090000", "204", "DTA") +
                             Line("3", "01", compact(d2), "080000", "100", "62P") +
                             Line("5", "01", compact(d2), "093000", "100", "50p"));
  EXPECT_FALSE(FileExists(run_ + "/EXPORT/BEWDATA.tmp"));
  const Rows expected = {{"1", "4", "dated"}, {"2", "4", "dated"}, {"3", "4", "dated"},
                         {"4", "4", "open"},  {"5", "4", "dated"}, {"8", "4", "open"}};
  EXPECT_EQ(engine_->Marks(), expected);
  EXPECT_NE(Log().find("\r\nAnzahl \xFC"
                       "bergebener Buchungen : 4\r\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\nAnzahl uebergebener Buchungen : 4"), std::string::npos);

  // Nothing is left to deliver once the consumer has taken the file.
  ASSERT_TRUE(RealFileSystem().Remove((run_ + "/EXPORT/BEWDATA.dat").c_str()));
  r = Export();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Delivered(), "");
}

TEST_P(ExportTest, PresentTransferFileStopsWithOneAndMarksNothing) {
  engine_->Insert(Booking::At("1", DaysAgo(1), "08:00:00"));
  WriteBytes(run_ + "/EXPORT/BEWDATA.dat", "unread\n");
  ProcessResult r = Export({"export", "/D"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Error: Datei EXPORT/BEWDATA.dat ist vorhanden\n"), std::string::npos);
  EXPECT_EQ(Delivered(), "unread\n");
  EXPECT_EQ(engine_->Marks(), (Rows{{"1", kNull, "open"}}));
}

// Oracle has no empty texts: an empty key column is NULL. Such a row is exported but cannot be
// found by its mark, so it stays for the next run.
TEST_P(ExportTest, NullAndEmptyKeyColumnsAreExportedButStayUnmarked) {
  const std::string day = DaysAgo(1);
  Booking noIdn = Booking::At("", day, "08:00:00");
  noIdn.idn.reset();
  Booking emptyLfn = Booking::At("2", day, "08:01:00");
  emptyLfn.lfn = "";
  Booking blankIdn = Booking::At(" ", day, "08:02:00");  // arrives empty, is bound as " "
  Booking noSto = Booking::At("4", day, "08:03:00");
  noSto.sto.reset();
  for (const Booking& b : {noIdn, emptyLfn, blankIdn, noSto}) engine_->Insert(b);

  ProcessResult r = Export();
  EXPECT_EQ(r.status, 1);
  std::string compact = day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
  EXPECT_EQ(Delivered(), Line("", "01", compact, "080000", "100", "62P") + "2,01," + compact +
                             ",080100,,T01,2,1,,,,,100,,,62P\n" +
                             Line("", "01", compact, "080200", "100", "62P") +
                             Line("4", "", compact, "080300", "100", "62P"));
  Rows marks = engine_->Query("select BewUkz from " + engine_->table() + " order by BewUhr");
  EXPECT_EQ(marks, (Rows{{kNull}, {kNull}, {"4"}, {kNull}}));

  // The next run delivers the three unmarked rows again.
  ASSERT_TRUE(RealFileSystem().Remove((run_ + "/EXPORT/BEWDATA.dat").c_str()));
  EXPECT_EQ(Export().status, 1);
  std::string again = Delivered();
  EXPECT_EQ(std::count(again.begin(), again.end(), '\n'), 3);
}

TEST_P(ExportTest, SessionFailuresEndWithTheirCodes) {
  struct Case {
    const char* name;
    std::optional<std::string> user, password, service;
    int status;  // as the process reports it
  };
  std::vector<Case> cases;
  if (auto wrong = engine_->WrongPassword()) {
    cases.push_back({"wrong password", wrong->first, wrong->second, engine_->service(),
                     ProcessExitStatus(kSqlLogonDenied)});
  }
  cases.push_back({"unknown service", engine_->user(), engine_->password(),
                   engine_->UnknownService(), ProcessExitStatus(kSqlUnknownService)});
  if (auto none = engine_->NoServer()) {
    cases.push_back({"no server", engine_->user(), engine_->password(), *none,
                     ProcessExitStatus(kSqlNoListener)});
  }
  if (auto schema = engine_->UnknownSchema()) {
    cases.push_back({"unknown schema", engine_->user(), engine_->password(), *schema,
                     ProcessExitStatus(kSqlUnknownUser)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteSettings(*c.user, *c.password, *c.service);
    ProcessResult r = Export();
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(r.out.rfind("Datenbankverbindung fehlgeschlagen, Fehler: -", 0), 0u) << r.out;
    EXPECT_FALSE(FileExists(run_ + "/EXPORT/BEWDATA.tmp"));
  }
  RealFileSystem().Remove((run_ + "/Velmorand.ini").c_str());
  ProcessResult r = Export();
  EXPECT_EQ(r.status, 97);
  EXPECT_EQ(r.out, "Velmorand.Ini-Datei nicht gefunden");
}

// Looks into the run at its commit: another session must not see a mark before it, and must
// see every mark after it.
class CommitWatch : public SqlRuntime {
 public:
  CommitWatch(SqlRuntime& base, Engine& engine) : base_(base), engine_(engine) {}
  int Connect(const char* t) override { return base_.Connect(t); }
  int Prepare(const char* s) override { return base_.Prepare(s); }
  int Execute() override { return base_.Execute(); }
  int SelectInto(const char* s, char* o, std::size_t c) override {
    return base_.SelectInto(s, o, c);
  }
  int OpenCursor(const char* q) override { return base_.OpenCursor(q); }
  int Fetch(const SqlOutput* o, std::size_t n) override { return base_.Fetch(o, n); }
  int CloseCursor() override { return base_.CloseCursor(); }
  int Update(const char* s, const char* const* i, std::size_t n) override {
    return base_.Update(s, i, n);
  }
  int Delete(const char* s) override { return base_.Delete(s); }
  int Commit() override {
    before = engine_.Query("select count(*) from " + engine_.table() + " where BewUkz=4");
    int rc = base_.Commit();
    after = engine_.Query("select count(*) from " + engine_.table() + " where BewUkz=4");
    return rc;
  }
  Rows before, after;

 private:
  SqlRuntime& base_;
  Engine& engine_;
};

TEST_P(ExportTest, MarksAreInvisibleToOthersUntilTheCommit) {
  for (int i = 0; i < 5; ++i) {
    engine_->Insert(Booking::At(std::to_string(i), DaysAgo(1), "08:0" + std::to_string(i) + ":00"));
  }
  std::unique_ptr<SqlRuntime> runtime = engine_->NewRuntime();
  CommitWatch watch(*runtime, *engine_);
  SqlSetDefault(&watch);
  int status = RunExportIn(run_, {"Velmorand.ini", "export"});
  SqlSetDefault(nullptr);
  runtime.reset();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(watch.before, (Rows{{"0"}}));
  EXPECT_EQ(watch.after, (Rows{{"5"}}));
}

// A run killed in the middle of its loop leaves the table as it was.
TEST_P(ExportTest, KilledRunLeavesTheTableUnchanged) {
  const int rows = 3000;
  std::vector<Booking> many;
  for (int i = 0; i < rows; ++i) {
    many.push_back(Booking::At(std::to_string(100000 + i), DaysAgo(1 + i % 20), "08:00:00"));
  }
  engine_->Insert(many);
  bool killed = false;
  std::vector<std::string> argv = {BuildExecutable(engine_->executable()), "Velmorand.ini",
                                   "export", "/D"};
  ProcessResult r = RunUntilOutput(argv, run_, "ID: ", &killed);
  ASSERT_TRUE(killed) << "the run ended before it could be stopped: " << r.status;
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(engine_->Query("select count(*) from " + engine_->table() + " where BewUkz=4"),
            (Rows{{"0"}}));
  EXPECT_FALSE(FileExists(run_ + "/EXPORT/BEWDATA.dat"));

  // The next run exports every row, though lines of the killed run stay in BEWDATA.tmp.
  ProcessResult again = Export();
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(engine_->Query("select count(*) from " + engine_->table() + " where BewUkz=4"),
            (Rows{{std::to_string(rows)}}));
}

// The purge's cut-off is three calendar months before the server's time, with Oracle's rule
// for month ends; SQLite's clock can be set, so the cut-off is checked to the second there.
TEST(SqliteExportPurgeTest, CutOffFollowsOracleMonthEnds) {
  struct Case {
    const char* now;
    const char* cutoff;
  };
  const Case cases[] = {
      {"2024-05-31 12:00:00", "2024-02-29 12:00:00"},
      {"2023-05-31 12:00:00", "2023-02-28 12:00:00"},
      {"2024-04-30 06:30:00", "2024-01-31 06:30:00"},
      {"2024-03-15 00:00:00", "2023-12-15 00:00:00"},
      {"2024-02-29 23:59:59", "2023-11-30 23:59:59"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    ScratchDir dir;
    std::string run = dir.Join("srv/run");
    MakeDirs(run);
    SqliteEngine engine;
    engine.Create(run);
    auto at = [&](const char* id, const std::string& dat, const char* ukz) {
      Booking b = Booking::At(id, "2020-01-01", "08:00:00");
      b.dat = dat;
      b.ukz = ukz;
      engine.Insert(b);
    };
    std::tm tm{};
    strptime(c.cutoff, "%Y-%m-%d %H:%M:%S", &tm);
    tm.tm_isdst = -1;
    std::time_t cutoff = std::mktime(&tm);
    at("before", LocalText(cutoff - 1), "4");
    at("at", c.cutoff, "4");
    at("after", LocalText(cutoff + 1), "4");

    std::tm nowTm{};
    strptime(c.now, "%Y-%m-%d %H:%M:%S", &nowTm);
    nowTm.tm_isdst = -1;
    std::time_t now = std::mktime(&nowTm);
    std::unique_ptr<SqlRuntime> runtime = NewSqliteRuntime([now] { return now; });
    SqlSetDefault(runtime.get());
    WriteBytes(run + "/Velmorand.ini", SettingsRecord(1, "NET8", "bookings.db"));
    EXPECT_EQ(RunExportIn(run, {"Velmorand.ini"}), 1);
    SqlSetDefault(nullptr);
    runtime.reset();
    EXPECT_EQ(engine.Query("select BewIDN from Qrv321Bew order by BewIDN"),
              (Rows{{"after"}, {"at"}}));
  }
}

// The exit statuses that need no server, through the real executable: the usage text, a
// temporary file that cannot be created, a table that is missing, and a leftover temporary
// file that is delivered with the new lines.
TEST(SqliteExecutableTest, ExitStatusesAndConsoleBytes) {
  ScratchDir dir;
  const std::string run = dir.Join("srv/run");
  MakeDirs(run);
  MakeDirs(dir.Join("Velmorand_php/log"));
  const std::string exe = BuildExecutable("Dornvik_SQLite");
  const std::string log = dir.Join("Velmorand_php/log/Ravelstok#Log.txt");

  ProcessResult usage = RunProcess({exe}, run);
  EXPECT_EQ(usage.status, 98);
  EXPECT_EQ(usage.out,
            "Befehlsformat: \nDornvik_<DB>.EXE <Velmorand.ini> <ZielPfad>\n\n"
            "DB           : Datenbanksystem, zB. Oracle\n"
            "Velmorand.ini: Name und Pfad der Velmorand.ini-Datei\n"
            "Zielpfad     : Pfad der Uebergabedatei\n\n");
  EXPECT_FALSE(FileExists(log));

  SqliteEngine engine;
  engine.Create(run);
  engine.Insert(Booking::At("1", "2024-12-09", "07:05:00"));
  WriteBytes(run + "/Velmorand.ini", SettingsRecord(1, "NET8", "bookings.db"));

  ProcessResult noDir = RunProcess({exe, "Velmorand.ini", "missing", "/d"}, run);
  EXPECT_EQ(noDir.status, 90);
  EXPECT_NE(noDir.out.find("gestartet\n\nZieldatei auf Server kann nicht erzeugt werden\n"),
            std::string::npos)
      << noDir.out;

  WriteBytes(run + "/BEWDATA.tmp", "0,left,over\n");
  ProcessResult ok = RunProcess({exe, "Velmorand.ini"}, run);
  EXPECT_EQ(ok.status, 1);
  EXPECT_EQ(ok.out, "");
  EXPECT_EQ(ReadBytes(run + "/BEWDATA.dat"),
            "0,left,over\n" + Line("1", "01", "20241209", "070500", "100", "62P"));

  RealFileSystem().Remove((run + "/BEWDATA.dat").c_str());
  engine.Exec("drop table Qrv321Bew");
  ProcessResult missing = RunProcess({exe, "Velmorand.ini", "/D"}, run);
  EXPECT_EQ(missing.status, ProcessExitStatus(kSqlTableMissing));
  EXPECT_NE(missing.out.find("Fehler beim Lesen der Buchungen: -942\n\n"
                             "Anzahl uebergebener Buchungen : 0"),
            std::string::npos)
      << missing.out;
  EXPECT_EQ(ReadBytes(run + "/BEWDATA.dat"), "");
  std::string bytes = ReadBytes(log);
  EXPECT_NE(bytes.find("Fehler beim Lesen der Buchungen: -942\r\n\r\n\r\nAnzahl \xFC"
                       "bergebener Buchungen : 0\r\n"),
            std::string::npos);
}

std::vector<std::string> Engines() { return {"SQLite", "PostgreSQL", "ODBC"}; }

INSTANTIATE_TEST_SUITE_P(Engines, ExportTest, testing::ValuesIn(Engines()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

}  // namespace
