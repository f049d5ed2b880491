#include "RavelstokSQL.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BfCrypt.h"
#include "IniHlp.h"
#include "RunLog.h"
#include "SQLHlp.h"
#include "test_util.h"

namespace {

const std::string kArrows(48, '>');
const std::string kBanner = "\r\n" + kArrows + "Protokollierung gestartet:\r\n";
const std::string kEndBanner = kArrows + "Programm beendet\r\n\r\n\r\n\r\n";

// A booking with the fields of the worked example; empty texts stand for NULL.
struct Booking {
  std::string tid = "T01", lid = "2", idn = "77", sto = "01", dtm = "20241209000000",
              uhr = "20241209070500", lfn = "1", art = "1", tas, era = "100", kze, ber, erq, kst,
              qua, src = "62P";

  FakeSqlRuntime::Row row() const {
    FakeSqlRuntime::Row r;
    const std::string* fields[] = {&tid, &lid, &idn, &sto, &dtm, &uhr, &lfn, &art,
                                   &tas, &era, &kze, &ber, &erq, &kst, &qua, &src};
    for (std::size_t i = 0; i < 16; ++i) {
      if (!fields[i]->empty()) r[i] = *fields[i];
    }
    return r;
  }
};

// A server's directory tree: the program runs in <root>/srv/run, its log lies in
// <root>/Velmorand_php/log.
class RunTest : public testing::Test {
 protected:
  void SetUp() override {
    run_ = dir_.Join("srv/run");
    MakeDirs(run_);
    MakeDirs(dir_.Join("Velmorand_php/log"));
    WriteBytes(run_ + "/Velmorand.ini", SettingsRecord(1, "LOGIN", "scott") +
                                            SettingsRecord(2, "PASS", "tiger") +
                                            SettingsRecord(3, "NET8", "ORCL"));
    SqlSetDefault(&db_);
  }
  void TearDown() override {
    SqlSetDefault(nullptr);
    ConsoleOut = stdout;
  }

  int Run(const std::vector<std::string>& args) { return RunExportIn(run_, args, &console_); }

  std::string Log() const { return ReadBytes(dir_.Join("Velmorand_php/log/Ravelstok#Log.txt")); }
  std::string InRun(const std::string& name) const { return run_ + "/" + name; }
  bool Called(const std::string& prefix) const {
    for (const std::string& c : db_.calls) {
      if (c.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  ScratchDir dir_;
  std::string run_;
  FakeSqlRuntime db_;
  std::string console_;
};

TEST_F(RunTest, WithoutArgumentsPrintsUsageAndLogsNothing) {
  EXPECT_EQ(Run({}), 98);
  EXPECT_EQ(console_,
            "Befehlsformat: \n"
            "Dornvik_<DB>.EXE <Velmorand.ini> <ZielPfad>\n"
            "\n"
            "DB           : Datenbanksystem, zB. Oracle\n"
            "Velmorand.ini: Name und Pfad der Velmorand.ini-Datei\n"
            "Zielpfad     : Pfad der Uebergabedatei\n"
            "\n");
  EXPECT_FALSE(FileExists(dir_.Join("Velmorand_php/log/Ravelstok#Log.txt")));
  EXPECT_TRUE(db_.calls.empty());
}

TEST_F(RunTest, CompleteRunDeliversMarksPurgesAndCommits) {
  Booking written;  // 62P: written as 100
  Booking skipped;  // unknown source: marked only
  skipped.idn = "78";
  skipped.src = "XYZ";
  Booking nullKey;  // NULL BewIDN: -1405, still handled, bound as " "
  nullKey.idn = "";
  nullKey.src = "dta";
  nullKey.era = "201";
  nullKey.uhr = "20241209071000";
  db_.rows = {written.row(), skipped.row(), nullKey.row()};

  EXPECT_EQ(Run({"Velmorand.ini", "/D"}), 1);

  EXPECT_EQ(ReadBytes(InRun("BEWDATA.dat")),
            "77,01,20241209,070500,1,T01,2,1,,,,,100,,,62P\n"
            ",01,20241209,071000,1,T01,2,1,,,,,204,,,dta\n");
  EXPECT_FALSE(FileExists(InRun("BEWDATA.tmp")));
  EXPECT_EQ(Log(), kBanner +
                       "\xDC"
                       "bergabe vom 09.12.2024 07:05:00\r\n\r\n"
                       "77,20241209,070500,T01,2,1, 1, 62P\r\n"
                       ",20241209,071000,T01,2,1, 1, dta\r\n"
                       "\r\nAnzahl \xFC"
                       "bergebener Buchungen : 2\r\n" +
                       kEndBanner);
  EXPECT_EQ(console_,
            "Uebergabe am 09.12.2024 07:05:00 gestartet\n\n"
            "ID: 77, Buchung vom 20241209 070500  uebergeben\n"
            "ID: , Buchung vom 20241209 071000  uebergeben\n"
            "\nAnzahl uebergebener Buchungen : 2");

  const std::vector<std::vector<std::string>> marks = {
      {"77", "01", "20241209000000", "20241209070500", "1"},
      {"78", "01", "20241209000000", "20241209070500", "1"},
      {" ", "01", "20241209000000", "20241209071000", "1"}};
  EXPECT_EQ(db_.marks, marks);
  std::vector<std::string> expected = {"connect scott/tiger@ORCL",
                                       "prepare ALTER SESSION SET CURRENT_SCHEMA=QRSCHEMA",
                                       "execute",
                                       std::string("select ") + kServerTimeQuery,
                                       std::string("open ") + kBookingQuery,
                                       "fetch",
                                       "update 77|01|20241209000000|20241209070500|1",
                                       "fetch",
                                       "update 78|01|20241209000000|20241209070500|1",
                                       "fetch",
                                       "update  |01|20241209000000|20241209071000|1",
                                       "fetch",
                                       "close",
                                       std::string("delete ") + kPurgeStatement,
                                       "commit"};
  EXPECT_EQ(db_.calls, expected);
}

TEST_F(RunTest, StatementTextsAreSentExactly) {
  EXPECT_EQ(std::strlen(kBookingQuery), 286u);
  EXPECT_EQ(std::string(kBookingQuery).substr(252), "order by BewDtm,BewUhr            ");
  EXPECT_STREQ(kPurgeStatement,
               "delete  from QRSCHEMA.QRV321BEW  where (BewDat<ADD_MONTHS(SYSDATE,(-3)) and "
               "BewUkz=4)");
  EXPECT_STREQ(kServerTimeQuery,
               "select TO_CHAR(SYSDATE,'dd.mm.yyyy hh24:mi:ss') into :b0  from dual ");
}

TEST_F(RunTest, EmptyResultDeliversAnEmptyFileAndStillPurgesAndCommits) {
  EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  EXPECT_EQ(ReadBytes(InRun("BEWDATA.dat")), "");
  EXPECT_TRUE(FileExists(InRun("BEWDATA.dat")));
  EXPECT_TRUE(Called("delete "));
  EXPECT_TRUE(Called("commit"));
  EXPECT_EQ(console_, "");
  EXPECT_NE(Log().find("\r\nAnzahl \xFC"
                       "bergebener Buchungen : 0\r\n"),
            std::string::npos);
}

// Where the files go, and whether the console echo is on, for each form of the command line.
TEST_F(RunTest, CommandLineFormsTheNamesAndTheEcho) {
  struct Case {
    std::vector<std::string> args;
    std::string dir;  // created beforehand, relative to the working directory
    std::string final_path;
    bool echo;
  };
  const Case cases[] = {
      {{"Velmorand.ini"}, "", "BEWDATA.dat", false},
      {{"Velmorand.ini", "/d"}, "", "BEWDATA.dat", true},
      {{"Velmorand.ini", "/D", "export"}, "", "BEWDATA.dat", true},
      {{"Velmorand.ini", "export"}, "EXPORT", "EXPORT/BEWDATA.dat", false},
      {{"Velmorand.ini", "export", "/d"}, "EXPORT", "EXPORT/BEWDATA.dat", true},
      {{"/d", "Velmorand.ini"}, "VELMORAND.INI", "VELMORAND.INI/BEWDATA.dat", true},
      {{"Velmorand.ini", "export/"}, "EXPORT", "EXPORT//BEWDATA.dat", false},
      {{"Velmorand.ini", "Export", "/DX"}, "EXPORT", "EXPORT/BEWDATA.dat", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ScratchDir scratch;
    run_ = scratch.Join("a/b");
    MakeDirs(run_);
    if (!c.dir.empty()) MakeDirs(run_ + "/" + c.dir);
    WriteBytes(run_ + "/Velmorand.ini", SettingsRecord(1, "LOGIN", "u"));
    WriteBytes(run_ + "/VELMORAND.INI/Velmorand.ini", "");
    db_ = FakeSqlRuntime();
    db_.rows = {Booking().row()};
    int status = Run(c.args);
    if (c.args[0] == "/d") {
      // "/D" first: it is taken as the settings path, which cannot be opened.
      EXPECT_EQ(status, 97);
      continue;
    }
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(FileExists(run_ + "/" + c.final_path));
    EXPECT_EQ(console_.find("ID: 77") != std::string::npos, c.echo);
  }
}

TEST_F(RunTest, PresentTransferFileStopsTheRunWithOne) {
  MakeDirs(InRun("EXPORT"));
  WriteBytes(InRun("EXPORT/BEWDATA.dat"), "old\n");
  db_.rows = {Booking().row()};
  EXPECT_EQ(Run({"Velmorand.ini", "export", "/D"}), 1);
  EXPECT_EQ(ReadBytes(InRun("EXPORT/BEWDATA.dat")), "old\n");
  EXPECT_FALSE(FileExists(InRun("EXPORT/BEWDATA.tmp")));
  EXPECT_EQ(Log(), kBanner +
                       "\xDC"
                       "bergabe vom 09.12.2024 07:05:00\r\n\r\n"
                       "Error: Datei EXPORT/BEWDATA.dat ist vorhanden\r\n\r\n");
  EXPECT_EQ(console_,
            "Uebergabe am 09.12.2024 07:05:00 gestartet\n\n"
            "Error: Datei EXPORT/BEWDATA.dat ist vorhanden\n");
  EXPECT_FALSE(Called("open"));
  EXPECT_FALSE(Called("commit"));
}

TEST_F(RunTest, TemporaryFileThatCannotBeCreatedEndsWith90) {
  db_.rows = {Booking().row()};
  EXPECT_EQ(Run({"Velmorand.ini", "missing", "/D"}), 90);
  EXPECT_EQ(console_,
            "Uebergabe am 09.12.2024 07:05:00 gestartet\n\n"
            "Zieldatei auf Server kann nicht erzeugt werden\n");
  EXPECT_NE(Log().find("Zieldatei auf Server kann nicht erzeugt werden\r\n\r\n"),
            std::string::npos);
  EXPECT_FALSE(Called("open"));
}

TEST_F(RunTest, LockedTemporaryFileEndsWith90) {
  std::unique_ptr<File> other = RealFileSystem().OpenAppend(InRun("BEWDATA.tmp").c_str());
  ASSERT_TRUE(other && other->LockExclusive());
  db_.rows = {Booking().row()};
  EXPECT_EQ(Run({"Velmorand.ini"}), 90);
  EXPECT_FALSE(Called("open"));
  EXPECT_EQ(ReadBytes(InRun("BEWDATA.tmp")), "");
  other->Close();
}

TEST_F(RunTest, LeftoverTemporaryFileIsDeliveredWithTheNewLines) {
  WriteBytes(InRun("BEWDATA.tmp"), "1,old\n");
  db_.rows = {Booking().row()};
  EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  EXPECT_EQ(ReadBytes(InRun("BEWDATA.dat")),
            "1,old\n77,01,20241209,070500,1,T01,2,1,,,,,100,,,62P\n");
}

TEST_F(RunTest, MissingSettingsFileEndsWith97WithoutTouchingTheDatabase) {
  EXPECT_EQ(Run({"nowhere.ini"}), 97);
  EXPECT_EQ(console_, "Velmorand.Ini-Datei nicht gefunden");
  EXPECT_EQ(Log(), kBanner +
                       "Velmorand.Ini-Datei nicht gefunden\r\n"
                       "Verbinden mit Datenbank fehlgeschlagen\r\n");
  EXPECT_TRUE(db_.calls.empty());
}

TEST_F(RunTest, FailedConnectOrSchemaSwitchEndsWithItsCode) {
  db_.connectResult = -1017;
  EXPECT_EQ(Run({"Velmorand.ini"}), -1017);
  EXPECT_EQ(console_, "Datenbankverbindung fehlgeschlagen, Fehler: -1017\n");
  EXPECT_EQ(Log(), kBanner + "Verbinden mit Datenbank fehlgeschlagen\r\n");
  EXPECT_FALSE(Called("prepare"));

  db_ = FakeSqlRuntime();
  db_.executeResult = -1435;
  EXPECT_EQ(Run({"Velmorand.ini"}), -1435);
  EXPECT_EQ(console_, "Datenbankverbindung fehlgeschlagen, Fehler: -1435\n");
  EXPECT_FALSE(Called("select"));
}

TEST_F(RunTest, ServiceNameIsTakenOnlyWithOneTo41Characters) {
  struct Case {
    std::string net8;
    std::string connect;
  };
  const std::string s41(41, 's');
  const Case cases[] = {{s41, "connect scott/tiger@" + s41},
                        {s41 + "s", "connect scott/tiger@"},
                        {"", "connect scott/tiger@"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.net8);
    WriteBytes(InRun("Velmorand.ini"), SettingsRecord(1, "LOGIN", "scott") +
                                           SettingsRecord(2, "PASS", "tiger") +
                                           SettingsRecord(3, "NET8", c.net8));
    db_ = FakeSqlRuntime();
    db_.connectResult = -12154;
    EXPECT_EQ(Run({"Velmorand.ini"}), -12154);
    ASSERT_FALSE(db_.calls.empty());
    EXPECT_EQ(db_.calls[0], c.connect);
  }
}

TEST_F(RunTest, FailedServerTimeQueryLogsAnEmptyTime) {
  db_.selectResult = -942;
  EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  EXPECT_NE(Log().find("\xDC"
                       "bergabe vom \r\n\r\n"),
            std::string::npos)
      << Log();
}

TEST_F(RunTest, FailedCommitKeepsTheLinesBackAndEndsWithZero) {
  WriteBytes(InRun("BEWDATA.tmp"), "1,old\n");
  db_.rows = {Booking().row()};
  db_.commitResult = -3113;
  EXPECT_EQ(Run({"Velmorand.ini"}), 0);
  EXPECT_FALSE(FileExists(InRun("BEWDATA.dat")));
  EXPECT_EQ(ReadBytes(InRun("BEWDATA.tmp")), "1,old\n");
  std::string log = Log();
  EXPECT_NE(log.find("\r\nAnzahl \xFC"
                     "bergebener Buchungen : 1\r\n" +
                     kEndBanner),
            std::string::npos);
}

TEST_F(RunTest, ReadErrorDeliversWhatWasFetchedAndEndsWithItsCode) {
  Booking second;
  second.idn = "78";
  db_.rows = {Booking().row(), second.row()};
  db_.fetchErrorAt = 1;
  db_.fetchError = -3113;
  EXPECT_EQ(Run({"Velmorand.ini", "/D"}), -3113);
  EXPECT_EQ(ReadBytes(InRun("BEWDATA.dat")), "77,01,20241209,070500,1,T01,2,1,,,,,100,,,62P\n");
  EXPECT_EQ(db_.marks.size(), 1u);
  EXPECT_TRUE(Called("commit"));
  EXPECT_NE(Log().find("Fehler beim Lesen der Buchungen: -3113\r\n\r\n"
                       "\r\nAnzahl \xFC"
                       "bergebener Buchungen : 1\r\n"),
            std::string::npos);
  EXPECT_NE(console_.find("Fehler beim Lesen der Buchungen: -3113\n"), std::string::npos);
}

TEST_F(RunTest, CursorThatCannotBeOpenedIsReportedWithItsCode) {
  db_.rows = {Booking().row()};
  db_.openResult = -942;
  EXPECT_EQ(Run({"Velmorand.ini"}), -942);
  EXPECT_EQ(ReadBytes(InRun("BEWDATA.dat")), "");
  EXPECT_TRUE(db_.marks.empty());
  EXPECT_NE(Log().find("Fehler beim Lesen der Buchungen: -942\r\n"), std::string::npos);
}

TEST_F(RunTest, MarkAndPurgeFailuresDoNotChangeTheCourse) {
  db_.rows = {Booking().row()};
  db_.updateResult = -1;
  db_.deleteResult = -1;
  EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  EXPECT_TRUE(FileExists(InRun("BEWDATA.dat")));
}

// A transfer line that cannot be written must neither be delivered nor marked.
TEST_F(RunTest, FailedWriteOrSyncRestoresTheFileAndCommitsNothing) {
  const FaultFileSystem::Op ops[] = {FaultFileSystem::Op::kWrite, FaultFileSystem::Op::kSync,
                                     FaultFileSystem::Op::kSyncDir};
  for (FaultFileSystem::Op op : ops) {
    SCOPED_TRACE(static_cast<int>(op));
    WriteBytes(InRun("BEWDATA.tmp"), "1,old\n");
    db_ = FakeSqlRuntime();
    Booking second;
    second.idn = "78";
    db_.rows = {Booking().row(), second.row()};
    FaultFileSystem faulty(RealFileSystem());
    faulty.FailOp(op, "BEWDATA.tmp");
    ScopedFileSystem use(&faulty);
    EXPECT_EQ(Run({"Velmorand.ini", "/D"}), 91);
    EXPECT_EQ(ReadBytes(InRun("BEWDATA.tmp")), "1,old\n");
    EXPECT_FALSE(FileExists(InRun("BEWDATA.dat")));
    EXPECT_FALSE(Called("commit"));
    EXPECT_FALSE(Called("delete"));
    if (op == FaultFileSystem::Op::kWrite) {
      EXPECT_TRUE(db_.marks.empty());
    }
    EXPECT_NE(console_.find("Fehler beim Schreiben der Zieldatei BEWDATA.tmp\n"),
              std::string::npos);
    std::string log = Log();
    EXPECT_NE(log.find("Fehler beim Schreiben der Zieldatei BEWDATA.tmp\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(log.find("Programm beendet"), std::string::npos);
  }
}

TEST_F(RunTest, FailedRenameLeavesTheLinesForTheNextRun) {
  db_.rows = {Booking().row()};
  {
    FaultFileSystem faulty(RealFileSystem());
    faulty.FailOp(FaultFileSystem::Op::kRename, "BEWDATA.tmp");
    ScopedFileSystem use(&faulty);
    EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  }
  EXPECT_FALSE(FileExists(InRun("BEWDATA.dat")));
  db_ = FakeSqlRuntime();
  EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  EXPECT_EQ(ReadBytes(InRun("BEWDATA.dat")), "77,01,20241209,070500,1,T01,2,1,,,,,100,,,62P\n");
}

TEST_F(RunTest, MissingLogDirectoryChangesNothingElse) {
  ScratchDir other;
  run_ = other.Join("x/y");
  MakeDirs(run_);
  WriteBytes(InRun("Velmorand.ini"), SettingsRecord(1, "LOGIN", "u"));
  db_.rows = {Booking().row()};
  EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  EXPECT_TRUE(FileExists(InRun("BEWDATA.dat")));
  EXPECT_FALSE(FileExists(other.Join("Velmorand_php")));
}

// Directories of any length: the names and the log lines grow with them, and the system
// decides what it can open.
TEST_F(RunTest, LongTargetDirectoriesNeverOverflow) {
#ifdef _WIN32
  // Windows resolves every name to a full path, which it limits (MAX_PATH without long-path
  // support; under Wine the host's PATH_MAX): a directory of thousands of characters is refused.
  const std::vector<std::size_t> lengths = {159u, 160u, 187u, 188u};
#else
  const std::vector<std::size_t> lengths = {159u, 160u, 187u, 188u, 4000u};
#endif
  for (std::size_t length : lengths) {
    SCOPED_TRACE(length);
    std::string dir;
    while (dir.size() < length) dir += dir.size() % 100 == 99 ? '/' : 'D';
    MakeDirs(InRun(dir));
    db_ = FakeSqlRuntime();
    db_.rows = {Booking().row()};
    EXPECT_EQ(Run({"Velmorand.ini", dir}), 1);
    EXPECT_TRUE(FileExists(InRun(dir + "/BEWDATA.dat")));
    // A second run stops at the delivered file and logs its whole name.
    EXPECT_EQ(Run({"Velmorand.ini", dir}), 1);
    EXPECT_NE(Log().find("Error: Datei " + dir + "/BEWDATA.dat ist vorhanden\r\n\r\n"),
              std::string::npos);
  }
  // A name that the system refuses (one component of 300 characters).
  db_ = FakeSqlRuntime();
  EXPECT_EQ(Run({"Velmorand.ini", std::string(300, 'E')}), 90);
}

TEST_F(RunTest, LongRowLogLinesAreWrittenWhole) {
  Booking wide;
  wide.tid = std::string(255, 'T');
  db_.rows = {wide.row()};
  EXPECT_EQ(Run({"Velmorand.ini"}), 1);
  EXPECT_NE(Log().find("77,20241209,070500," + std::string(255, 'T') + ",2,1, 1, 62P\r\n"),
            std::string::npos);
}

// Every outcome of the event-code rule.
TEST(NormalizeEventCodeTest, RuleTable) {
  struct Case {
    const char* src;
    const char* era;
    const char* kze;
    const char* ber;
    const char* after;
    bool written;
  };
  const Case cases[] = {
      {"DTA", "200", "", "", "204", true},
      {"DTA", "201", "", "", "204", true},
      {"DTA", "202", "", "", "204", true},
      {"DTA", "203", "", "", "204", true},
      {"DTA", "206", "", "", "204", true},
      {"DTA", "207", "", "", "204", true},
      {"DTA", "208", "", "", "204", true},
      {"DTA", "430", "", "", "426", true},
      {"DTA", "431", "", "", "426", true},
      {"DTA", "500", "", "", "426", true},
      {"DTA", "501", "", "", "426", true},
      {"DTA", "100", "", "", "100", true},
      {"DTA", "204", "", "", "204", true},
      {"DTA", "426", "", "", "426", true},
      {"DTA", "205", "", "", "205", false},
      {"DTA", "209", "", "", "209", false},
      {"DTA", "", "", "", "", false},
      {"dTa", "200", "", "", "204", true},
      {" DT", "200", "", "", "xxx", false},
      {"40P", "999", "", "1", "204", true},
      {"40P", "", "X", "", "100", true},
      {"40p", "204", "X", "1", "100", true},
      {"40P", "100", "", "2", "xxx", false},
      {"40P", "100", "", "", "xxx", false},
      {"62P", "426", "", "", "100", true},
      {"50P", "xxx", "", "", "100", true},
      {"50p", "", "", "", "100", true},
      {"", "100", "", "", "xxx", false},
      {"ABC", "204", "", "", "xxx", false},
      {"\xE4"
       "ta",
       "100", "", "", "xxx", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.src) + "/" + c.era + "/" + c.kze + "/" + c.ber);
    BewRecord r = {};
    std::strcpy(r.BewSrc, c.src);
    std::strcpy(r.BewEra, c.era);
    std::strcpy(r.BewKze, c.kze);
    std::strcpy(r.BewBer, c.ber);
    EXPECT_EQ(NormalizeEventCode(r), c.written);
    EXPECT_STREQ(r.BewEra, c.after);
    EXPECT_STREQ(r.BewSrc, c.src);  // the source keeps its case
  }
}

TEST(ProcessExitStatusTest, NegativeCodesNeverReadAsSuccess) {
#ifndef _WIN32
  EXPECT_EQ(ProcessExitStatus(1), 1);
  EXPECT_EQ(ProcessExitStatus(0), 0);
  EXPECT_EQ(ProcessExitStatus(98), 98);
  EXPECT_EQ(ProcessExitStatus(-1017), -1017 & 0xFF);
  EXPECT_EQ(ProcessExitStatus(-12799), 255);  // low byte 1
  EXPECT_EQ(ProcessExitStatus(-12288), 255);  // low byte 0
#else
  // Windows keeps the exit code's 32 bits: every status, a negative sqlcode too, stays as it is.
  for (int status : {1, 0, 98, 90, -1017, -12799, -12288, -12154}) {
    EXPECT_EQ(ProcessExitStatus(status), status);
  }
#endif
}

}  // namespace
