#include "Admin.h"

#include <gtest/gtest.h>
#ifdef DORNVIK_HAVE_SQLITE
#include <sqlite3.h>
#endif

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BfCrypt.h"
#include "IniHlp.h"
#include "test_util.h"

namespace {

struct AdminResult {
  int status;
  std::string out;
  std::string err;
};

AdminResult Admin(std::vector<std::string> args) {
  args.insert(args.begin(), "DornvikAdmin");
  std::vector<std::vector<char>> storage;
  std::vector<char*> argv;
  for (const std::string& a : args) storage.emplace_back(a.c_str(), a.c_str() + a.size() + 1);
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  CaptureFile out, err;
  int status = AdminMain(static_cast<int>(args.size()), argv.data(), out.get(), err.get());
  return {status, out.Text(), err.Text()};
}

// The published stored values: each plain text encrypts to its stored form.
TEST(AdminTest, EncryptMatchesTheStoredValues) {
  std::ifstream in(std::string(DORNVIK_TESTDATA_DIR) + "/settings-values.txt");
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string plain, stored;
    fields >> plain >> stored;
    AdminResult r = Admin({"encrypt", plain});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, stored + "\n") << plain;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST(AdminTest, IniSetWritesWhatTheProgramReads) {
  ScratchDir dir;
  std::string ini = dir.Join("Velmorand.ini");
  ASSERT_EQ(Admin({"ini-set", ini, "LOGIN", "scott"}).status, 0);
  ASSERT_EQ(Admin({"ini-set", ini, "PASS", "tiger;with;semicolons"}).status, 0);
  ASSERT_EQ(Admin({"ini-set", ini, "NET8", "bookings.db"}).status, 0);
  ASSERT_EQ(Admin({"ini-set", ini, "PASS", "changed"}).status, 0);  // replaces

  struct Case {
    const char* key;
    const char* value;
  };
  for (Case c : {Case{"LOGIN", "scott"}, Case{"PASS", "changed"}, Case{"NET8", "bookings.db"}}) {
    GetIniValue("", c.key, 0, ini.c_str());
    EXPECT_STREQ(IniValue, c.value) << c.key;
    AdminResult r = Admin({"ini-get", ini, c.key});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(c.value) + "\n");
  }
  std::string bytes = ReadBytes(ini);
  EXPECT_EQ(bytes.find("PASS;" + EncryptToHex("tiger;with;semicolons", kIniCryptKey)),
            std::string::npos);
  // Three records of two lines, CR LF line ends.
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 6);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\r'), 6);
}

TEST(AdminTest, IniSetKeepsOtherRecordsAndLineEnds) {
  ScratchDir dir;
  std::string ini = dir.Join("Velmorand.ini");
  WriteBytes(ini, "Other;Sektion;x\n7;OTHER;ABCDEF\n");
  ASSERT_EQ(Admin({"ini-set", ini, "LOGIN", "scott"}).status, 0);
  EXPECT_EQ(ReadBytes(ini), "Other;Sektion;x\n7;OTHER;ABCDEF\nDornvik;Datenbank;LOGIN\n8;LOGIN;" +
                                EncryptToHex("scott", kIniCryptKey) + "\n");
}

// Records that the program's lookups take before the wanted one are reported, not hidden.
TEST(AdminTest, ValuesTheProgramWouldNotReadAreReported) {
  ScratchDir dir;
  std::string ini = dir.Join("Velmorand.ini");
  WriteBytes(ini, "[Heading]\n0;OTHER;" + EncryptToHex("x", kIniCryptKey) + "\n");
  AdminResult set = Admin({"ini-set", ini, "LOGIN", "scott"});
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.err.find("earlier record"), std::string::npos) << set.err;
  AdminResult get = Admin({"ini-get", ini, "LOGIN"});
  EXPECT_EQ(get.status, 1);
  EXPECT_EQ(get.out, "x\n");
  EXPECT_NE(get.err.find("key \"OTHER\""), std::string::npos) << get.err;

  WriteBytes(ini, "a;b;c\n1;LOGIN;" + EncryptToHex("scott", kIniCryptKey) + "\n");
  AdminResult missing = Admin({"ini-get", ini, "PASS"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no record of PASS"), std::string::npos) << missing.err;
}

TEST(AdminTest, BadArgumentsGiveUsageAndStatusTwo) {
  ScratchDir dir;
  std::string ini = dir.Join("Velmorand.ini");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"encrypt"},
      {"encrypt", std::string(97, 'x')},
      {"ini-set", ini, "LOGIN"},
      {"ini-set", ini, "", "v"},
      {"ini-set", ini, "A;B", "v"},
      {"ini-set", ini, "NET8", std::string(42, 's')},
      {"ini-set", ini, "NET8", ""},
      {"ini-get", ini},
      {"demo-db", dir.Join("x.db"), "many"},
      {"demo-db", dir.Join("x.db"), "-1"},
  };
  for (const auto& args : bad) {
    AdminResult r = Admin(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_FALSE(FileExists(ini));
}

TEST(AdminTest, OddNumberOfLinesIsRefused) {
  ScratchDir dir;
  std::string ini = dir.Join("Velmorand.ini");
  WriteBytes(ini, "a;b;c\n1;LOGIN;00\nstray\n");
  AdminResult r = Admin({"ini-set", ini, "PASS", "x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadBytes(ini), "a;b;c\n1;LOGIN;00\nstray\n");
}

#ifdef DORNVIK_HAVE_SQLITE
int CountRows(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  int count = -1;
  if (sqlite3_prepare_v2(db, "select count(*) from Qrv321Bew", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    count = sqlite3_column_int(st, 0);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return count;
}

TEST(AdminTest, CreatesSqliteDatabasesOnce) {
  ScratchDir dir;
  std::string empty = dir.Join("empty.db"), demo = dir.Join("demo.db");
  EXPECT_EQ(Admin({"init-db", empty}).status, 0);
  EXPECT_EQ(CountRows(empty), 0);
  AdminResult again = Admin({"init-db", empty});
  EXPECT_EQ(again.status, 1);
  EXPECT_FALSE(again.err.empty());
  AdminResult filled = Admin({"demo-db", demo, "150"});
  EXPECT_EQ(filled.status, 0) << filled.err;
  EXPECT_EQ(filled.out, "created " + demo + " with 150 bookings\n");
  EXPECT_EQ(CountRows(demo), 150);
}
#else
// A build without the SQLite engine says so, and creates nothing.
TEST(AdminTest, SqliteCommandsFailClearlyWithoutTheEngine) {
  ScratchDir dir;
  const std::vector<std::vector<std::string>> commands = {
      {"init-db", dir.Join("empty.db")},
      {"demo-db", dir.Join("demo.db"), "5"},
  };
  for (const auto& command : commands) {
    AdminResult r = Admin(command);
    EXPECT_EQ(r.status, 1) << command[0];
    EXPECT_EQ(r.err, "DornvikAdmin: this build has no SQLite engine\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(FileExists(command[1]));
  }
}
#endif

TEST(AdminTest, IniGetOfAMissingFileFails) {
  AdminResult r = Admin({"ini-get", "/nonexistent/Velmorand.ini", "LOGIN"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos);
}

}  // namespace
