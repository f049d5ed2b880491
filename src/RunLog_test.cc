#include "RunLog.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

class RunLogTest : public testing::Test {
 protected:
  std::string Path() const { return dir_.Join("Ravelstok#Log.txt"); }
  std::string Backup() const { return dir_.Join("Ravelstok#Log_bak.txt"); }
  ScratchDir dir_;
};

TEST_F(RunLogTest, StoresEveryLineFeedAsCrLfAndNoFormat) {
  WriteLog(Path().c_str(), "\nStart");
  WriteLog(Path().c_str(), "100% %s %d");
  WriteLog(Path().c_str(),
           "\xDC"
           "bergabe vom x\n");
  WriteLog(Path().c_str(), "");
  EXPECT_EQ(ReadBytes(Path()),
            "\r\nStart\r\n100% %s %d\r\n\xDC"
            "bergabe vom x\r\n\r\n\r\n");
}

TEST_F(RunLogTest, MissingDirectoryIsNeverCreated) {
  std::string path = dir_.Join("no/log.txt");
  WriteLog(path.c_str(), "line");
  EXPECT_FALSE(FileExists(dir_.Join("no")));
}

// The limit counts stored bytes, CR included; only a size strictly above it rotates.
TEST_F(RunLogTest, RotatesStrictlyAboveTheLimitIntoTheSingleBackup) {
  struct Case {
    std::uint64_t before;  // bytes already in the log
    std::string line;      // stores line.size() + 2 bytes
    bool rotates;
  };
  const Case cases[] = {
      {kRunLogLimit - 100, std::string(99, 'x'), true},   // 101 bytes: one past the limit
      {kRunLogLimit - 100, std::string(98, 'x'), false},  // exactly the limit
      {kRunLogLimit - 11, "123456789", false},            // 9 characters store 11 bytes
      {kRunLogLimit - 10, "123456789", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    ScratchDir dir;
    std::string path = dir.Join("Ravelstok#Log.txt");
    std::string backup = dir.Join("Ravelstok#Log_bak.txt");
    WriteBytes(path, std::string(c.before, '.'));
    WriteBytes(backup, "previous backup");
    WriteLog(path.c_str(), c.line.c_str());
    if (c.rotates) {
      EXPECT_FALSE(FileExists(path));
      std::string rotated = ReadBytes(backup);
      EXPECT_EQ(rotated.size(), c.before + c.line.size() + 2);
      EXPECT_EQ(rotated.substr(rotated.size() - c.line.size() - 2), c.line + "\r\n");
      WriteLog(path.c_str(), "next");
      EXPECT_EQ(ReadBytes(path), "next\r\n");
    } else {
      EXPECT_EQ(ReadBytes(path).size(), c.before + c.line.size() + 2);
      EXPECT_EQ(ReadBytes(backup), "previous backup");
    }
  }
}

// A backup that cannot be removed stops the rotation; the live log keeps every line and the
// rotation is tried again with the next line.
TEST_F(RunLogTest, UnremovableBackupNeverCostsTheLiveLog) {
  WriteBytes(Path(), std::string(kRunLogLimit, '.'));
  WriteBytes(Backup(), "locked backup");
  FaultFileSystem faulty(RealFileSystem());
  faulty.FailOp(FaultFileSystem::Op::kRemove);
  {
    ScopedFileSystem use(&faulty);
    WriteLog(Path().c_str(), "a");
  }
  EXPECT_EQ(ReadBytes(Path()).size(), kRunLogLimit + 3);
  EXPECT_EQ(ReadBytes(Backup()), "locked backup");
  WriteLog(Path().c_str(), "b");
  EXPECT_FALSE(FileExists(Path()));
  EXPECT_EQ(ReadBytes(Backup()).size(), kRunLogLimit + 6);
}

TEST_F(RunLogTest, EveryFailureIsSilent) {
  const FaultFileSystem::Op ops[] = {FaultFileSystem::Op::kOpenAppend, FaultFileSystem::Op::kWrite,
                                     FaultFileSystem::Op::kSize, FaultFileSystem::Op::kClose,
                                     FaultFileSystem::Op::kRename};
  for (FaultFileSystem::Op op : ops) {
    FaultFileSystem faulty(RealFileSystem());
    faulty.FailOp(op);
    ScopedFileSystem use(&faulty);
    WriteLog(Path().c_str(), "line");  // must neither crash nor throw
  }
  SUCCEED();
}

}  // namespace
