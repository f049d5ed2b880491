// Hostile input end to end: settings files that are no settings files, column values that do
// not fit their fields or carry bytes a text should not, target directories of any length and
// arguments that are empty. Nothing may crash, nothing may be lost, and the outcome is the one
// the program documents.
//
// POSIX only: child processes.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BfCrypt.h"
#include "DemoDb.h"
#include "FileSys.h"
#include "IniHlp.h"
#include "RavelstokSQL.h"
#include "SQLHlp.h"
#include "SqlRuntime.h"
#include "test_db.h"
#include "test_util.h"

namespace {

std::string Record(int index, const std::string& key, const std::string& value) {
  return "Dornvik;Datenbank;" + key + "\n" + std::to_string(index) + ";" + key + ";" +
         EncryptToHex(value, kIniCryptKey) + "\n";
}

const std::string kLogin = Record(1, "LOGIN", "scott");
const std::string kPass = Record(2, "PASS", "tiger");
const std::string kNet8 = Record(3, "NET8", "bookings.db");

// A run in this process over a scripted database; the settings file holds `settings`.
class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    run_ = dir_.Join("srv/run");
    MakeDirs(run_);
    MakeDirs(dir_.Join("Velmorand_php/log"));
    db_.rows = {FakeSqlRuntime::Booking("1")};
    SqlSetDefault(&db_);
  }
  void TearDown() override { SqlSetDefault(nullptr); }

  // The connect text that the run sends.
  std::string ConnectText(const std::string& settings, int* status) {
    WriteBytes(run_ + "/Velmorand.ini", settings);
    db_.calls.clear();
    RealFileSystem().Remove((run_ + "/BEWDATA.dat").c_str());
    *status = RunExportIn(run_, {"Velmorand.ini"});
    for (const std::string& call : db_.calls) {
      if (call.rfind("connect ", 0) == 0) return call.substr(8);
    }
    return "<no connect>";
  }

  ScratchDir dir_;
  std::string run_;
  FakeSqlRuntime db_;
};

// Reads a settings file as the program does and decrypts `stored` as the reader would.
std::string Decrypted(const std::string& stored) {
  char plain[201];
  DecryptHexString(stored.c_str(), plain, std::min(stored.size() + 1, sizeof plain), kIniCryptKey);
  return plain;
}

TEST_F(SettingsTest, MalformedFilesNeverOverrunAndGiveTheDocumentedValues) {
  // Line 1 of the NET8 record padded behind its second ';' to `line1` characters, line 2 after
  // its value (with zero digits, which a value ending in a zero byte ignores) to `line2`.
  auto net8 = [](std::size_t line1, std::size_t line2) {
    std::string first = "Dornvik;Datenbank;NET8";
    std::string second = "3;NET8;" + EncryptToHex("bookings.db", kIniCryptKey);
    first.resize(line1, 'p');
    second.resize(line2, '0');
    return kLogin + kPass + first + "\n" + second + "\n";
  };
  const std::string huge(10 * 1024 * 1024, 'x');
  const std::string hugeValue = Decrypted(std::string(200, 'x'));
  const std::string hugeService = hugeValue.size() <= 41 ? hugeValue : "";
  struct Case {
    const char* name;
    std::string settings;
    std::string connect;
  };
  const Case cases[] = {
      {"well-formed", kLogin + kPass + kNet8, "scott/tiger@bookings.db"},
      {"CR LF line ends",
       "Dornvik;Datenbank;LOGIN\r\n1;LOGIN;" + EncryptToHex("scott", kIniCryptKey) + "\r\n" +
           kPass + kNet8,
       "scott/tiger@bookings.db"},
      {"empty", "", "/@"},
      // A first line without two ';' (here: a NUL byte before them) is taken by every lookup.
      {"binary before the records", std::string("\0\xff\x01", 3) + kLogin + kPass + kNet8,
       "scott/scott@scott"},
      {"one line of 10 MB", huge, hugeValue + "/" + hugeValue + "@" + hugeService},
      {"line 1 of 198 characters", net8(198, 60), "scott/tiger@bookings.db"},
      {"line 1 of 199 characters: cut, its line feed read as line 2", net8(199, 60),
       "scott/tiger@"},
      {"line 2 of 398 characters: value cut to 200", net8(30, 398), "scott/tiger@bookings.db"},
      {"line 2 of 399 characters: cut before its line feed", net8(30, 399), "scott/tiger@"},
      {"values of control bytes",
       Record(1, "LOGIN", "a\x01\x1b[2J\r\nb") + Record(2, "PASS", std::string("\x7f\t", 2)) +
           kNet8,
       "a\x01\x1b[2J\r\nb/\x7f\t@bookings.db"},
      // 120 characters are stored as 240 digits, of which 200 are read: 12 whole blocks.
      {"values of 120 characters",
       Record(1, "LOGIN", std::string(120, 'u')) + kPass + Record(3, "NET8", std::string(120, 'n')),
       std::string(96, 'u') + "/tiger@"},
      // 250 characters take 512 digits: line 2 is cut before its value ends (an empty value),
      // and its rest, read as the next record's first line, is taken by the later lookups.
      {"values of 250 characters", Record(1, "LOGIN", std::string(250, 'u')) + kPass + kNet8, "/@"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int status = 0;
    EXPECT_EQ(ConnectText(c.settings, &status), c.connect);
    EXPECT_EQ(status, kExitCommitted);
    EXPECT_TRUE(FileExists(run_ + "/BEWDATA.dat"));
  }
}

// Empty arguments: an empty settings path is a missing settings file, and an empty target
// directory is refused like one whose temporary file cannot be created: the run never looks at
// the root directory that "" + "/" + "BEWDATA" would name. The guard makes sure of that.
TEST_F(SettingsTest, EmptyArgumentsAreTakenAsTheyStand) {
  WriteBytes(run_ + "/Velmorand.ini", kLogin + kPass + kNet8);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string opened;  // how the temporary file's opening shows in the trace
  };
  const Case cases[] = {
      {{""}, kExitNoSettings, ""},
      {{"", ""}, kExitNoSettings, ""},
      {{"Velmorand.ini", ""}, kExitTempFile, ""},
      {{"Velmorand.ini", "", "/d"}, kExitTempFile, ""},
      {{"Velmorand.ini", "/D", ""}, kExitCommitted, "open-append BEWDATA.tmp\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    RealFileSystem().Remove((run_ + "/BEWDATA.dat").c_str());
    FaultFileSystem guard(RealFileSystem());
    guard.FailOp(FaultFileSystem::Op::kOpenAppend, "/BEWDATA");
    guard.FailOp(FaultFileSystem::Op::kOpenRead, "/BEWDATA");
    int status;
    {
      ScopedFileSystem use(&guard);
      status = RunExportIn(run_, c.args);
    }
    EXPECT_EQ(status, c.status);
    if (c.opened.empty()) {
      EXPECT_EQ(guard.trace().find("BEWDATA"), std::string::npos) << guard.trace();
    } else {
      EXPECT_NE(guard.trace().find(c.opened), std::string::npos) << guard.trace();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Through Dornvik_SQLite: column values and target directories.

// Yesterday as "YYYY-MM-DD": recent enough that the purge keeps the rows.
std::string Yesterday() {
  std::time_t t = std::time(nullptr) - 86400;
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  return text;
}

class SqliteProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    run_ = dir_.Join("srv/run");
    MakeDirs(run_);
    MakeDirs(dir_.Join("Velmorand_php/log"));
    std::string error;
    ASSERT_TRUE(SqliteInitDb((run_ + "/bookings.db").c_str(), &error)) << error;
    WriteBytes(run_ + "/Velmorand.ini", kLogin + kPass + kNet8);
  }

  void Exec(const std::string& sql) { SqliteExec(run_ + "/bookings.db", sql); }

  // BewIDN (as hex) -> BewUkz, by booking time.
  std::vector<std::string> Marks() {
    sqlite3* db = nullptr;
    sqlite3_open_v2((run_ + "/bookings.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "select hex(BewIDN), BewUkz from Qrv321Bew order by BewUhr", -1, &st,
                       nullptr);
    std::vector<std::string> marks;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* ukz = sqlite3_column_text(st, 1);
      marks.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + "=" +
                      (ukz ? reinterpret_cast<const char*>(ukz) : "null"));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return marks;
  }

  // A booking at 07:mm with the given SQL expressions for BewIDN and BewTID.
  void Insert(int minute, const std::string& idn, const std::string& tid,
              const std::string& kst = "NULL") {
    char time[16];
    std::snprintf(time, sizeof time, " 07:%02d:00", minute % 60);
    const std::string day = Yesterday(), at = day + time;
    Exec(
        "insert into Qrv321Bew (BewTID,BewLID,BewIDN,BewSto,BewDtm,BewUhr,BewLfn,BewArt,BewEra,"
        "BewSrc,BewKst,BewDat) values (" +
        tid + ",'2'," + idn + ",'01','" + day + " 00:00:00','" + at + "','1','1','100','62P'," +
        kst + ",'" + at + "')");
  }

  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), BuildExecutable("Dornvik_SQLite"));
    return RunProcess(args, run_);
  }

  ScratchDir dir_;
  std::string run_;
};

std::string Compact(std::string day) { return day.erase(7, 1).erase(4, 1); }

std::string Line(const std::string& idn, const std::string& time, const std::string& tid,
                 const std::string& kst = "") {
  return idn + ",01," + Compact(Yesterday()) + "," + time + ",1," + tid + ",2,1," + kst +
         ",,,,100,,,62P\n";
}

TEST_F(SqliteProgramTest, ColumnValuesThatDoNotFitOrCarryOddBytes) {
  Insert(0, "'A1'", "'" + std::string(300, 't') + "'");                   // cut to its 255 bytes
  Insert(1, "'A2'", "'T'", "'" + std::string(40, 'k') + "'");             // cut to its 30 bytes
  Insert(2, "'A3'", "cast(x'41004243' as text)");                         // a NUL ends the text
  Insert(3, "cast(x'C4DC31' as text)", "cast(x'E4F6FCDF80FF' as text)");  // Windows-1252
  Insert(4, "'" + std::string(60, 'i') + "'", "'T'");  // a key longer than its field: -1406

  ProcessResult r = Run({"Velmorand.ini", "/D"});
  EXPECT_EQ(r.status, ProcessExitStatus(kSqlTruncated)) << r.out;
  EXPECT_NE(r.out.find("Fehler beim Lesen der Buchungen: -1406"), std::string::npos);
  EXPECT_EQ(ReadBytes(run_ + "/BEWDATA.dat"), Line("A1", "070000", std::string(255, 't')) +
                                                  Line("A2", "070100", "T", std::string(30, 'k')) +
                                                  Line("A3", "070200", "A") +
                                                  Line("\xC4\xDC"
                                                       "1",
                                                       "070300", "\xE4\xF6\xFC\xDF\x80\xFF"));
  std::string longIdn;
  for (int i = 0; i < 60; ++i) longIdn += "69";
  EXPECT_EQ(Marks(), (std::vector<std::string>{"4131=4", "4132=4", "4133=4", "C4DC31=4",
                                               longIdn + "=null"}));
  std::string log = ReadBytes(dir_.Join("Velmorand_php/log/Ravelstok#Log.txt"));
  EXPECT_NE(log.find("\xC4\xDC"
                     "1," +
                     Compact(Yesterday()) + ",070300,\xE4\xF6\xFC\xDF\x80\xFF,2,1, 1, 62P\r\n"),
            std::string::npos);

  // The row that cannot be read stays for later; nothing is delivered twice meanwhile.
  RealFileSystem().Remove((run_ + "/BEWDATA.dat").c_str());
  EXPECT_EQ(Run({"Velmorand.ini"}).status, ProcessExitStatus(kSqlTruncated));
  EXPECT_EQ(ReadBytes(run_ + "/BEWDATA.dat"), "");
}

TEST_F(SqliteProgramTest, TargetDirectoriesOfAnyLengthAreUsedWhole) {
  Insert(0, "'A1'", "'T'");
  for (std::size_t length : {159u, 187u, 4000u}) {
    SCOPED_TRACE(length);
    // Components of at most 200 characters, upper case on disk, given in lower case.
    std::string dir;
    while (dir.size() < length) {
      if (!dir.empty()) dir += "/";
      dir += std::string(std::min<std::size_t>(200, length - dir.size()), 'e');
    }
    std::string upper = dir;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c == 'e' ? 'E' : c; });
    MakeDirs(run_ + "/" + upper);
    Exec("update Qrv321Bew set BewUkz = NULL");

    ProcessResult first = Run({"Velmorand.ini", dir});
    EXPECT_EQ(first.status, kExitCommitted) << first.out;
    EXPECT_EQ(ReadBytes(run_ + "/" + upper + "/BEWDATA.dat"), Line("A1", "070000", "T"));
    ProcessResult again = Run({"Velmorand.ini", dir, "/D"});
    EXPECT_EQ(again.status, kExitTargetPresent);
    EXPECT_EQ(again.out, "Uebergabe am " + again.out.substr(13, 19) +
                             " gestartet\n\nError: Datei " + upper +
                             "/BEWDATA.dat ist vorhanden\n");
  }
  // A name the system cannot take ends the run with 90, and nothing is marked.
  Exec("update Qrv321Bew set BewUkz = NULL");
  ProcessResult tooLong = Run({"Velmorand.ini", std::string(4100, 'z')});
  EXPECT_EQ(tooLong.status, kExitTempFile);
  EXPECT_EQ(Marks(), std::vector<std::string>{"4131=null"});
}

}  // namespace

#endif  // _WIN32
