// What the export run promises payroll, under faults: a booking is either delivered (in
// BEWDATA.dat, or in BEWDATA.tmp for the next run) and marked, or neither delivered nor marked,
// and it is never delivered twice. The tests fail every file operation of a run in turn, kill
// the real programs at every step, and run them on a full and on a read-only file system; after
// each they check the promise, let the consumer take the file, run once more without faults and
// check that every booking arrived exactly once.
//
// POSIX only: child processes, signals and mounts.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BfCrypt.h"
#include "CrashPoint.h"
#include "DemoDb.h"
#include "FileSys.h"
#include "IniHlp.h"
#include "RavelstokSQL.h"
#include "RunLog.h"
#include "SQLHlp.h"
#include "SqlRuntime.h"
#include "SqliteEngine.h"
#include "test_db.h"
#include "test_util.h"

#ifdef DORNVIK_HAVE_PG
#include <libpq-fe.h>

#include "PgEngine.h"
#endif

namespace {

// "YYYY-MM-DD HH:MM:SS", `days` days before now at the given minute past 07:00.
std::string DaysAgo(int days, int minute) {
  std::time_t t = std::time(nullptr) - static_cast<std::time_t>(days) * 86400;
  std::tm tm{};
  localtime_r(&t, &tm);
  tm.tm_hour = 7;
  tm.tm_min = minute % 60;
  tm.tm_sec = minute / 60;
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

struct Booking {
  std::string idn;
  int daysAgo = 1;
  int minute = 0;
  std::string src = "62P";  // 62P: written with code 100; XYZ: only marked
  std::string ukz = "NULL";
  std::string tid = "T01";
  bool transferable() const { return src == "62P" && ukz != "4"; }
};

// Five bookings to deliver, one that is only marked, one old enough to be purged in the run
// that delivers it, and one delivered long ago.
std::vector<Booking> SmallSet() {
  std::vector<Booking> set;
  for (int i = 1; i <= 5; ++i) set.push_back({"R0" + std::to_string(i), 6 - i, i});
  set.push_back({"Q01", 2, 30, "XYZ"});
  set.push_back({"OLD", 130, 0});
  set.push_back({"DONE", 1, 40, "62P", "4"});
  return set;
}

// Enough long lines that the transfer file's buffer is handed to the system in the middle of
// the loop, long before the commit.
std::vector<Booking> LargeSet() {
  std::vector<Booking> set;
  for (int i = 0; i < 260; ++i) {
    char idn[8];
    std::snprintf(idn, sizeof idn, "L%03d", i);
    set.push_back({idn, 1 + i / 60, i % 60, "62P", "NULL", std::string(255, 'T')});
  }
  return set;
}
constexpr int kLargeFlushedLine = 230;  // lines of 300 bytes: the first 64 KiB went before it

std::string InsertSql(const std::string& table, const std::vector<Booking>& set) {
  std::string sql = "insert into " + table +
                    " (BewTID,BewLID,BewIDN,BewSto,BewDtm,BewUhr,BewLfn,BewArt,BewEra,BewSrc,"
                    "BewUkz,BewDat) values ";
  for (std::size_t i = 0; i < set.size(); ++i) {
    const Booking& b = set[i];
    std::string at = DaysAgo(b.daysAgo, b.minute);
    std::string day = at.substr(0, 10) + " 00:00:00";
    sql += std::string(i ? "," : "") + "('" + b.tid + "','2','" + b.idn + "','01','" + day + "','" +
           at + "','1','1','100','" + b.src + "'," + b.ukz + ",'" + day + "')";
  }
  return sql;
}

// One database as these tests drive it.
class Db {
 public:
  virtual ~Db() = default;
  virtual std::string Unavailable() const { return ""; }
  virtual const char* executable() const = 0;
  virtual std::string table() const = 0;
  virtual std::string service() const = 0;
  virtual std::string user() const { return "scott"; }
  virtual std::string password() const { return "tiger"; }
  // The booking table holds exactly `set` afterwards; `runDir` is the program's directory.
  virtual void Load(const std::string& runDir, const std::vector<Booking>& set) = 0;
  virtual Rows Query(const std::string& sql) = 0;
  virtual std::unique_ptr<SqlRuntime> NewRuntime() = 0;
};

class SqliteDb : public Db {
 public:
  const char* executable() const override { return "Dornvik_SQLite"; }
  std::string table() const override { return "Qrv321Bew"; }
  std::string service() const override { return "bookings.db"; }
  void Load(const std::string& runDir, const std::vector<Booking>& set) override {
    namespace fs = std::filesystem;
    path_ = runDir + "/bookings.db";
    // Each set is built once and copied for every run.
    std::string sql = InsertSql(table(), set);
    std::string templ = runDir + "/../template-" + std::to_string(std::hash<std::string>()(sql));
    if (!fs::exists(templ)) {
      std::string error;
      ASSERT_TRUE(SqliteInitDb(templ.c_str(), &error)) << error;
      SqliteExec(templ, sql);
    }
    fs::copy_file(templ, path_, fs::copy_options::overwrite_existing);
  }
  Rows Query(const std::string& sql) override { return SqliteRows(path_, sql, ""); }
  std::unique_ptr<SqlRuntime> NewRuntime() override { return NewSqliteRuntime(); }

 private:
  std::string path_;
};

#ifdef DORNVIK_HAVE_PG
// The test cluster's booking table, over one connection of the test's own.
class PgDb : public Db {
 public:
  ~PgDb() override {
    if (conn_) PQfinish(conn_);
  }
  std::string Unavailable() const override {
    return TestEnv("DORNVIK_PG_CONNINFO") ? ""
                                          : "no PostgreSQL test cluster (scripts/pg-cluster.sh)";
  }
  const char* executable() const override { return "Dornvik_PostgreSQL"; }
  std::string table() const override { return "qrschema.qrv321bew"; }
  std::string service() const override { return TestEnv("DORNVIK_PG_SERVICE"); }
  std::string user() const override { return TestEnv("DORNVIK_PG_USER"); }
  std::string password() const override { return TestEnv("DORNVIK_PG_PASSWORD"); }
  void Load(const std::string&, const std::vector<Booking>& set) override {
    Query("delete from " + table() + ";" + InsertSql(table(), set));
  }
  Rows Query(const std::string& sql) override {
    if (!conn_) conn_ = PQconnectdb(TestEnv("DORNVIK_PG_CONNINFO"));
    Rows rows;
    EXPECT_EQ(PQstatus(conn_), CONNECTION_OK) << PQerrorMessage(conn_);
    PGresult* res = PQexec(conn_, sql.c_str());
    ExecStatusType st = PQresultStatus(res);
    EXPECT_TRUE(st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK)
        << sql << ": " << PQerrorMessage(conn_);
    for (int r = 0; st == PGRES_TUPLES_OK && r < PQntuples(res); ++r) {
      std::vector<std::string> row;
      for (int c = 0; c < PQnfields(res); ++c) {
        row.push_back(PQgetisnull(res, r, c) ? "" : PQgetvalue(res, r, c));
      }
      rows.push_back(row);
    }
    PQclear(res);
    return rows;
  }
  std::unique_ptr<SqlRuntime> NewRuntime() override { return NewPgRuntime(); }

 private:
  PGconn* conn_ = nullptr;
};
#endif

std::unique_ptr<Db> MakeDb(const std::string& name) {
#ifdef DORNVIK_HAVE_PG
  if (name == "PostgreSQL") return std::make_unique<PgDb>();
#endif
  if (name == "SQLite") return std::make_unique<SqliteDb>();
  return nullptr;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& s : items) text += (text.empty() ? "" : " ") + s;
  return text.empty() ? "-" : text;
}

// How the files and the table stand against the promise.
struct Outcome {
  std::vector<std::string> lost;        // marked (or purged) but delivered nowhere
  std::vector<std::string> duplicated;  // delivered more than once
  std::vector<std::string> stray;       // delivered, but not marked
  std::vector<std::string> bad;         // a broken line, or one that should not exist
  bool Holds() const { return lost.empty() && duplicated.empty() && stray.empty() && bad.empty(); }
  std::string Describe() const {
    return "lost: " + Join(lost) + "; duplicated: " + Join(duplicated) + "; stray: " + Join(stray) +
           "; bad: " + Join(bad);
  }
};

// A run directory with settings and log directory, a booking set loaded for each run, and
// what the consumer has taken so far.
class PromiseHarness {
 public:
  PromiseHarness(Db& db, std::vector<Booking> set) : db_(db), set_(std::move(set)) {
    run_ = dir_.Join("srv/run");
    MakeDirs(run_ + "/EXPORT");
    MakeDirs(dir_.Join("Velmorand_php/log"));
    WriteBytes(run_ + "/Velmorand.ini", SettingsRecord(1, "LOGIN", db.user()) +
                                            SettingsRecord(2, "PASS", db.password()) +
                                            SettingsRecord(3, "NET8", db.service()));
  }

  const std::string& run() const { return run_; }
  std::string Tmp() const { return run_ + "/EXPORT/BEWDATA.tmp"; }
  std::string Dat() const { return run_ + "/EXPORT/BEWDATA.dat"; }
  std::string LogPath() const { return dir_.Join("Velmorand_php/log/Ravelstok#Log.txt"); }

  // A fresh start: the table holds the set, no transfer file exists, nothing was consumed.
  void Reset() {
    db_.Load(run_, set_);
    RealFileSystem().Remove(Tmp().c_str());
    RealFileSystem().Remove(Dat().c_str());
    RealFileSystem().Remove(LogPath().c_str());
    consumed_.clear();
  }

  // One run in this process over `fs` (null: the real file system). The runtime goes away
  // afterwards, which rolls back what was not committed, as the end of a process does.
  int RunInProcess(FileSystem* fs) {
    std::unique_ptr<SqlRuntime> runtime = db_.NewRuntime();
    SqlSetDefault(runtime.get());
    int status;
    {
      std::optional<ScopedFileSystem> use;
      if (fs) use.emplace(fs);
      status = RunExportIn(run_, {"Velmorand.ini", "export"});
    }
    SqlSetDefault(nullptr);
    runtime.reset();
    return status;
  }

  ProcessResult RunProgram() {
    return RunProcess({BuildExecutable(db_.executable()), "Velmorand.ini", "export"}, run_);
  }

  // Learns every booking's line from a run without faults.
  void LearnLines() {
    Reset();
    EXPECT_EQ(RunInProcess(nullptr), kExitCommitted);
    std::istringstream in(ReadBytes(Dat()));
    std::string line;
    while (std::getline(in, line)) lines_[line.substr(0, line.find(','))] = line + "\n";
    for (const Booking& b : set_)
      EXPECT_EQ(lines_.count(b.idn), b.transferable() ? 1u : 0u) << b.idn;
  }

  // The consumer takes BEWDATA.dat away.
  void Consume() {
    if (!FileExists(Dat())) return;
    consumed_ += ReadBytes(Dat());
    ASSERT_TRUE(RealFileSystem().Remove(Dat().c_str()));
  }

  Outcome Check() {
    Outcome o;
    std::map<std::string, int> count;
    for (const std::string& text : {consumed_, ReadBytes(Dat()), ReadBytes(Tmp())}) {
      std::size_t at = 0;
      while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? end : end - at + 1);
        at = end == std::string::npos ? text.size() : end + 1;
        std::string idn = line.substr(0, line.find(','));
        if (idn.rfind("PREV", 0) == 0) continue;  // a test's leftover from an earlier run
        auto known = lines_.find(idn);
        if (known == lines_.end() || known->second != line) {
          o.bad.push_back(std::string("[").append(line, 0, 40).append("]"));
        } else {
          ++count[idn];
        }
      }
    }
    std::set<std::string> done;
    std::set<std::string> present;
    for (const auto& row : db_.Query("select BewIDN, BewUkz from " + db_.table())) {
      present.insert(row[0]);
      if (row[1] == "4") done.insert(row[0]);
    }
    for (const Booking& b : set_) {
      bool marked = done.count(b.idn) != 0 || present.count(b.idn) == 0;  // purged: marked
      int c = count[b.idn];
      if (!b.transferable()) continue;
      if (marked && c == 0) o.lost.push_back(b.idn);
      if (c > 1) o.duplicated.push_back(b.idn);
      if (!marked && c > 0) o.stray.push_back(b.idn);
    }
    return o;
  }

  // Every booking of the set is marked or purged.
  std::vector<std::string> Unmarked() {
    std::set<std::string> open;
    for (const auto& row : db_.Query("select BewIDN, BewUkz from " + db_.table())) {
      if (row[1] != "4") open.insert(row[0]);
    }
    return {open.begin(), open.end()};
  }

 private:
  Db& db_;
  std::vector<Booking> set_;
  ScratchDir dir_;
  std::string run_;
  std::map<std::string, std::string> lines_;
  std::string consumed_;
};

class EngineTest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = MakeDb(GetParam());
    if (!db_) GTEST_SKIP() << GetParam() << " is not built here";
    std::string why = db_->Unavailable();
    if (!why.empty()) {
      const char* require = std::getenv("DORNVIK_REQUIRE_PG");
      if (require && std::strcmp(require, "1") == 0) FAIL() << why;
      GTEST_SKIP() << why;
    }
  }
  std::unique_ptr<Db> db_;
};

// ---------------------------------------------------------------------------------------------
// Every file operation failed in turn.

class FaultLoopTest : public EngineTest {
 protected:
  // Fails step 1, 2, ... of the run (those that `tried` accepts, judged by the trace of a run
  // without faults), each on a fresh start, until a run meets no failure. Returns the number
  // of steps of a run without faults.
  std::uint64_t Loop(PromiseHarness& h, bool persist,
                     const std::function<bool(const std::string&)>& tried) {
    h.LearnLines();
    h.Reset();
    FaultFileSystem probe(RealFileSystem());
    EXPECT_EQ(h.RunInProcess(&probe), kExitCommitted);
    std::vector<std::string> kinds;
    std::istringstream trace(probe.trace());
    for (std::string line; std::getline(trace, line);) kinds.push_back(line);

    for (std::uint64_t step = 1;; ++step) {
      if (step <= kinds.size() && !tried(kinds[step - 1])) continue;
      h.Reset();
      FaultFileSystem faulty(RealFileSystem());
      faulty.FailStep(step, persist);
      int status = h.RunInProcess(&faulty);
      if (faulty.failures() == 0) {
        EXPECT_EQ(status, kExitCommitted);
        EXPECT_EQ(step, kinds.size() + 1);
        return kinds.size();
      }
      ++faultRuns_;
      std::string where = "step " + std::to_string(step) + (persist ? " and later" : "") +
                          " failed, status " + std::to_string(status) + "\n" + faulty.trace();
      Outcome after = h.Check();
      // The one window that file faults leave: a write or sync failed, and cutting the file
      // back failed as well. What the run had written stays in BEWDATA.tmp, unmarked.
      const bool cutBackFailed =
          faulty.trace().find(" truncate EXPORT/BEWDATA.tmp FAILED") != std::string::npos;
      std::vector<std::string> strays;
      if (cutBackFailed) {
        ++windowRuns_;
        EXPECT_EQ(status, kExitWriteFailed) << where;
        EXPECT_TRUE(after.lost.empty() && after.duplicated.empty() && after.bad.empty())
            << after.Describe() << "\n"
            << where;
        strays = after.stray;
      } else {
        EXPECT_TRUE(after.Holds()) << after.Describe() << "\n" << where;
      }

      h.Consume();
      int again = h.RunInProcess(nullptr);
      EXPECT_EQ(again, kExitCommitted) << where;
      h.Consume();
      Outcome end = h.Check();
      EXPECT_TRUE(end.lost.empty() && end.stray.empty() && end.bad.empty())
          << "after the next run: " << end.Describe() << "\n"
          << where;
      // Nothing is lost; only the lines of the window come twice.
      EXPECT_EQ(end.duplicated, strays) << "after the next run\n" << where;
      EXPECT_TRUE(h.Unmarked().empty()) << Join(h.Unmarked()) << "\n" << where;
      if (HasFailure()) return 0;  // the first broken step tells enough
    }
  }

  void Report(const char* set, bool persist, std::uint64_t points) {
    std::cout << "[ fault loop ] " << GetParam() << ", " << set << " set, "
              << (persist ? "persisting" : "single") << " failures: " << points
              << " file operations in a run, " << faultRuns_ << " runs with a failure, "
              << windowRuns_ << " of them with a failed cut-back\n";
    faultRuns_ = windowRuns_ = 0;
  }

  int faultRuns_ = 0;
  int windowRuns_ = 0;
};

bool EveryStep(const std::string&) { return true; }

TEST_P(FaultLoopTest, EveryStepFailingOnceOrForGoodKeepsThePromise) {
  PromiseHarness h(*db_, SmallSet());
  for (bool persist : {false, true}) {
    SCOPED_TRACE(persist ? "persisting failures" : "single failures");
    Report("small", persist, Loop(h, persist, EveryStep));
    if (HasFailure()) return;
  }
}

// With long lines the transfer file reaches the disk during the loop: a failure at the end must
// take those lines back too. The steps in between are writes into the buffer and log lines,
// which the small set covers.
TEST_P(FaultLoopTest, FailuresAfterLinesReachedTheDiskKeepThePromise) {
  PromiseHarness h(*db_, LargeSet());
  int writes = 0;
  auto tried = [&writes](const std::string& step) {
    bool log = step.find("Ravelstok#Log") != std::string::npos;
    bool write = step.find(" write ") != std::string::npos;
    if (write && !log) ++writes;
    return !log && (!write || writes == 1 || writes == kLargeFlushedLine);
  };
  for (bool persist : {false, true}) {
    SCOPED_TRACE(persist ? "persisting failures" : "single failures");
    writes = 0;
    Report("large", persist, Loop(h, persist, tried));
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, FaultLoopTest, testing::Values("SQLite", "PostgreSQL"),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// ---------------------------------------------------------------------------------------------
// The real program killed at each step of its run.

// Sets an environment variable for the child processes of one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

class CrashMatrixTest : public EngineTest {};

TEST_P(CrashMatrixTest, KilledAtEveryStepThenRunAgain) {
#ifndef DORNVIK_CRASH_POINTS
  GTEST_SKIP() << "built without DORNVIK_CRASH_POINTS: the programs have no crash points";
#endif
  struct Case {
    const char* point;
    bool large;
    // Killed in the window between lines reaching BEWDATA.tmp and the commit: those lines
    // stay there unmarked, and the next run delivers them along with the same rows again.
    bool window;
  };
  const Case cases[] = {
      {"banner", false, false},    {"connect", false, false}, {"open", false, false},
      {"line:1", false, false},    {"mark:1", false, false},  {"line:3", false, false},
      {"mark:5", false, false},    {"synced", false, true},   {"commit", false, true},
      {"committed", false, false}, {"renamed", false, false}, {"end", false, false},
      {"line:100", true, false},   {"line:230", true, true},  {"synced", true, true},
      {"committed", true, false},
  };
  PromiseHarness small(*db_, SmallSet());
  PromiseHarness large(*db_, LargeSet());
  small.LearnLines();
  large.LearnLines();
  for (const Case& c : cases) {
    PromiseHarness& h = c.large ? large : small;
    std::string where = std::string(c.point) + (c.large ? " (large set)" : "");
    SCOPED_TRACE(where);
    h.Reset();
    ProcessResult killed;
    {
      ScopedEnv crash(kCrashPointVariable, c.point);
      killed = h.RunProgram();
    }
    ASSERT_EQ(killed.signal, SIGKILL) << "the run was not stopped at " << c.point;

    Outcome after = h.Check();
    std::vector<std::string> strays;
    if (c.window) {
      EXPECT_TRUE(after.lost.empty() && after.duplicated.empty() && after.bad.empty())
          << after.Describe();
      EXPECT_FALSE(after.stray.empty()) << "the window did not open";
      strays = after.stray;
    } else {
      EXPECT_TRUE(after.Holds()) << after.Describe();
    }

    h.Consume();
    ProcessResult again = h.RunProgram();
    EXPECT_EQ(again.status, kExitCommitted) << again.out;
    h.Consume();
    Outcome end = h.Check();
    EXPECT_TRUE(end.lost.empty() && end.stray.empty() && end.bad.empty()) << end.Describe();
    EXPECT_EQ(end.duplicated, strays);
    EXPECT_TRUE(h.Unmarked().empty()) << Join(h.Unmarked());
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, CrashMatrixTest, testing::Values("SQLite", "PostgreSQL"),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// ---------------------------------------------------------------------------------------------
// Real file systems that refuse: full, without inodes, read-only, immutable.

// Lines of an earlier, committed run that wait in BEWDATA.tmp for delivery.
const char kLeftover[] =
    "PREV1,01,20240101,070000,1,T01,2,1,,,,,100,,,62P\n"
    "PREV2,01,20240101,070100,1,T01,2,1,,,,,100,,,62P\n";

// Gives this test process mounts of its own, which vanish with it. Empty when that worked.
std::string PrivateMounts() {
  static std::string why = [] {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace (needs root)");
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("mounts cannot be made private");
    }
    return std::string();
  }();
  return why;
}

class Mount {
 public:
  Mount(const std::string& source, const std::string& target, const char* type, unsigned long flags,
        const char* options)
      : target_(target) {
    ok_ = ::mount(source.c_str(), target.c_str(), type, flags, options) == 0;
  }
  ~Mount() {
    if (ok_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string target_;
  bool ok_;
};

std::vector<Booking> LongLines(int count) {
  std::vector<Booking> set;
  for (int i = 0; i < count; ++i) {
    std::string idn = "F";
    idn += std::to_string(100 + i);
    set.push_back({idn, 1, i, "62P", "NULL", std::string(255, 'T')});
  }
  return set;
}

class TargetFileSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why = PrivateMounts();
    if (!why.empty()) GTEST_SKIP() << why << ": the real file system cases need root";
  }
  SqliteDb db_;
};

TEST_F(TargetFileSystemTest, FullFileSystemTakesTheRunsLinesBackAndKeepsTheLeftover) {
  PromiseHarness h(db_, LongLines(40));  // 12 KB of lines
  h.LearnLines();
  h.Reset();
  const std::string exportDir = h.run() + "/EXPORT";
  Mount tmpfs("tmpfs", exportDir, "tmpfs", 0, "size=64k");
  ASSERT_TRUE(tmpfs.ok()) << std::strerror(errno);
  WriteBytes(h.Tmp(), kLeftover);
  WriteBytes(exportDir + "/filler", std::string(64 * 1024, 'f'));  // as much as fits

  ProcessResult full = h.RunProgram();
  EXPECT_EQ(full.status, kExitWriteFailed) << full.out;
  EXPECT_EQ(ReadBytes(h.Tmp()), kLeftover);
  EXPECT_FALSE(FileExists(h.Dat()));
  EXPECT_EQ(h.Unmarked().size(), 40u);
  EXPECT_NE(ReadBytes(h.LogPath()).find("Fehler beim Schreiben der Zieldatei EXPORT/BEWDATA.tmp"),
            std::string::npos);
  EXPECT_TRUE(h.Check().Holds()) << h.Check().Describe();

  ASSERT_TRUE(RealFileSystem().Remove((exportDir + "/filler").c_str()));
  EXPECT_EQ(h.RunProgram().status, kExitCommitted);
  EXPECT_EQ(ReadBytes(h.Dat()).rfind(kLeftover, 0), 0u);
  EXPECT_TRUE(h.Unmarked().empty());
  Outcome end = h.Check();
  EXPECT_TRUE(end.Holds()) << end.Describe();
}

TEST_F(TargetFileSystemTest, TargetThatRefusesTheFileEndsWith90AndMarksNothing) {
  struct Case {
    const char* name;
    bool leftover;
    bool readOnly;  // else: a file system without a free inode
  };
  const Case cases[] = {
      {"read-only, empty", false, true},
      {"read-only, with leftover lines", true, true},
      {"no free inode", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PromiseHarness h(db_, SmallSet());
    h.LearnLines();
    h.Reset();
    const std::string exportDir = h.run() + "/EXPORT";
    if (c.leftover) WriteBytes(h.Tmp(), kLeftover);
    {
      std::optional<Mount> bind, readOnly, noInodes;
      if (c.readOnly) {
        bind.emplace(exportDir, exportDir, nullptr, MS_BIND, nullptr);
        readOnly.emplace("none", exportDir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
        ASSERT_TRUE(bind->ok() && readOnly->ok()) << std::strerror(errno);
      } else {
        noInodes.emplace("tmpfs", exportDir, "tmpfs", 0, "size=64k,nr_inodes=1");
        ASSERT_TRUE(noInodes->ok()) << std::strerror(errno);
      }
      ProcessResult r = h.RunProgram();
      EXPECT_EQ(r.status, kExitTempFile) << r.out;
      EXPECT_EQ(h.Unmarked().size(), 7u);  // all but the one marked long ago
      EXPECT_TRUE(h.Check().Holds()) << h.Check().Describe();
      EXPECT_FALSE(FileExists(h.Dat()));
    }
    EXPECT_EQ(ReadBytes(h.Tmp()), c.leftover ? kLeftover : "");
    EXPECT_EQ(h.RunProgram().status, kExitCommitted);
    EXPECT_EQ(ReadBytes(h.Dat()).rfind(c.leftover ? kLeftover : "", 0), 0u);
    Outcome end = h.Check();
    EXPECT_TRUE(end.Holds()) << end.Describe();
    EXPECT_TRUE(h.Unmarked().empty());
  }
}

// A directory that takes no new names but whose files can still be written: the commit goes
// through, the rename fails, and the lines wait in BEWDATA.tmp for the next run.
TEST_F(TargetFileSystemTest, RenameRefusedAfterTheCommitKeepsTheLinesForTheNextRun) {
  PromiseHarness h(db_, SmallSet());
  h.LearnLines();
  h.Reset();
  const std::string exportDir = h.run() + "/EXPORT";
  WriteBytes(h.Tmp(), kLeftover);
  const std::string chattr = "/usr/bin/chattr";
  if (RunProcess({chattr, "+i", exportDir}, "").status != 0) {
    GTEST_SKIP() << "this file system has no immutable directories (chattr +i)";
  }
  ProcessResult r = h.RunProgram();
  RunProcess({chattr, "-i", exportDir}, "");
  EXPECT_EQ(r.status, kExitCommitted) << r.out;
  EXPECT_FALSE(FileExists(h.Dat()));
  EXPECT_EQ(ReadBytes(h.Tmp()).rfind(kLeftover, 0), 0u);
  EXPECT_TRUE(h.Unmarked().empty());
  Outcome after = h.Check();
  EXPECT_TRUE(after.Holds()) << after.Describe();

  EXPECT_EQ(h.RunProgram().status, kExitCommitted);
  EXPECT_FALSE(FileExists(h.Tmp()));
  EXPECT_EQ(ReadBytes(h.Dat()).rfind(kLeftover, 0), 0u);
  Outcome end = h.Check();
  EXPECT_TRUE(end.Holds()) << end.Describe();
}

// A backup that cannot be deleted (here a directory in its place) stops the rotation; the live
// log keeps every line of the run, and the next rotation goes through once the way is free.
TEST(RunLogEndToEndTest, LogThatCannotBeRotatedKeepsEveryLine) {
  SqliteDb db;
  PromiseHarness h(db, SmallSet());
  h.Reset();
  const std::string backup = h.LogPath().substr(0, h.LogPath().size() - 4) + "_bak.txt";
  const std::string old(kRunLogLimit, '.');
  WriteBytes(h.LogPath(), old);
  MakeDirs(backup + "/keep");

  EXPECT_EQ(h.RunProgram().status, kExitCommitted);
  std::string log = ReadBytes(h.LogPath());
  EXPECT_EQ(log.rfind(old, 0), 0u);
  EXPECT_NE(log.find("Protokollierung gestartet:"), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 24), "Programm beendet\r\n\r\n\r\n\r\n");
  EXPECT_TRUE(FileExists(backup + "/keep"));

  std::filesystem::remove_all(backup);
  RealFileSystem().Remove(h.Dat().c_str());
  EXPECT_EQ(h.RunProgram().status, kExitCommitted);
  EXPECT_EQ(ReadBytes(backup).rfind(log, 0), 0u);
  EXPECT_LT(ReadBytes(h.LogPath()).size(), 1000u);
}

}  // namespace

#endif  // _WIN32
