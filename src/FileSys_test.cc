#include "FileSys.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

TEST(FileSysTest, AppendNeverTruncatesAndCountsBufferedBytes) {
  ScratchDir dir;
  std::string path = dir.Join("a.txt");
  WriteBytes(path, "abc");
  std::unique_ptr<File> f = RealFileSystem().OpenAppend(path.c_str());
  ASSERT_TRUE(f);
  std::uint64_t size = 0;
  ASSERT_TRUE(f->Size(&size));
  EXPECT_EQ(size, 3u);
  ASSERT_TRUE(f->Write("de", 2));
  ASSERT_TRUE(f->Size(&size));
  EXPECT_EQ(size, 5u);
  ASSERT_TRUE(f->Sync());
  EXPECT_EQ(ReadBytes(path), "abcde");
  ASSERT_TRUE(f->Truncate(3));
  ASSERT_TRUE(f->Write("X", 1));
  ASSERT_TRUE(f->Close());
  EXPECT_EQ(ReadBytes(path), "abcX");
}

TEST(FileSysTest, LargeWritesPassThroughTheBuffer) {
  ScratchDir dir;
  std::string path = dir.Join("big");
  std::unique_ptr<File> f = RealFileSystem().OpenAppend(path.c_str());
  ASSERT_TRUE(f);
  std::string chunk(10000, 'x');
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(f->Write(chunk.data(), chunk.size()));
  ASSERT_TRUE(f->Close());
  EXPECT_EQ(ReadBytes(path).size(), 200000u);
}

TEST(FileSysTest, OpenReadRefusesMissingFilesAndDirectories) {
  ScratchDir dir;
  EXPECT_FALSE(RealFileSystem().OpenRead(dir.Join("missing").c_str()));
  EXPECT_FALSE(RealFileSystem().OpenRead(dir.path().c_str()));
  EXPECT_FALSE(RealFileSystem().OpenAppend(dir.Join("no/such/dir").c_str()));
  WriteBytes(dir.Join("r"), "hello");
  std::unique_ptr<File> f = RealFileSystem().OpenRead(dir.Join("r").c_str());
  ASSERT_TRUE(f);
  char buffer[16];
  std::size_t got = 0;
  ASSERT_TRUE(f->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "hello");
  ASSERT_TRUE(f->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
}

TEST(FileSysTest, RenameNeverReplacesAnExistingTarget) {
  ScratchDir dir;
  std::string from = dir.Join("from"), to = dir.Join("to");
  WriteBytes(from, "new");
  WriteBytes(to, "old");
  EXPECT_FALSE(RealFileSystem().RenameNoReplace(from.c_str(), to.c_str()));
  EXPECT_EQ(ReadBytes(to), "old");
  EXPECT_EQ(ReadBytes(from), "new");
  ASSERT_TRUE(RealFileSystem().Remove(to.c_str()));
  EXPECT_TRUE(RealFileSystem().RenameNoReplace(from.c_str(), to.c_str()));
  EXPECT_EQ(ReadBytes(to), "new");
  EXPECT_FALSE(FileExists(from));
  EXPECT_FALSE(RealFileSystem().Remove(from.c_str()));
}

// The lock belongs to the open file: a second opening cannot take it until the first closes.
TEST(FileSysTest, ExclusiveLockExcludesASecondOpening) {
  ScratchDir dir;
  std::string path = dir.Join("lock");
  std::unique_ptr<File> first = RealFileSystem().OpenAppend(path.c_str());
  std::unique_ptr<File> second = RealFileSystem().OpenAppend(path.c_str());
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(first->LockExclusive());
  EXPECT_FALSE(second->LockExclusive());
  EXPECT_TRUE(first->Close());
  EXPECT_TRUE(second->LockExclusive());
  EXPECT_TRUE(second->Close());
}

// While the export holds BEWDATA.tmp open and locked, other programs may still read it, and the
// export itself renames it before the close; the log may be moved or deleted by others while a
// line is being written. Two openings that append alternately never overwrite each other.
TEST(FileSysTest, AnOpenLockedFileCanBeReadRenamedAndRemoved) {
  ScratchDir dir;
  std::string tmp = dir.Join("BEWDATA.tmp"), dat = dir.Join("BEWDATA.dat");
  std::unique_ptr<File> held = RealFileSystem().OpenAppend(tmp.c_str());
  ASSERT_TRUE(held && held->LockExclusive());
  ASSERT_TRUE(held->Write("one\n", 4) && held->Flush());

  std::unique_ptr<File> other = RealFileSystem().OpenAppend(tmp.c_str());
  ASSERT_TRUE(other);
  EXPECT_FALSE(other->LockExclusive());
  ASSERT_TRUE(other->Write("two\n", 4) && other->Flush());
  ASSERT_TRUE(held->Write("three\n", 6) && held->Flush());
  EXPECT_TRUE(other->Close());
  EXPECT_EQ(ReadBytes(tmp), "one\ntwo\nthree\n");

  std::unique_ptr<File> reader = RealFileSystem().OpenRead(tmp.c_str());
  ASSERT_TRUE(reader);
  char buffer[32];
  std::size_t got = 0;
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "one\ntwo\nthree\n");
  EXPECT_TRUE(reader->Close());

  ASSERT_TRUE(RealFileSystem().RenameNoReplace(tmp.c_str(), dat.c_str()));
  ASSERT_TRUE(held->Write("four\n", 5) && held->Sync());
  EXPECT_TRUE(held->Close());
  EXPECT_FALSE(FileExists(tmp));
  EXPECT_EQ(ReadBytes(dat), "one\ntwo\nthree\nfour\n");

  std::unique_ptr<File> log = RealFileSystem().OpenAppend(dat.c_str());
  ASSERT_TRUE(log);
  EXPECT_TRUE(RealFileSystem().Remove(dat.c_str()));
  EXPECT_TRUE(log->Close());
  EXPECT_FALSE(FileExists(dat));
}

TEST(FileSysTest, SyncsTheDirectoryOfAFile) {
  ScratchDir dir;
  EXPECT_TRUE(RealFileSystem().SyncDirectoryOf(dir.Join("new.tmp").c_str()));
#ifndef _WIN32
  EXPECT_FALSE(RealFileSystem().SyncDirectoryOf(dir.Join("missing/new.tmp").c_str()));
#endif
}

TEST(FileSysTest, OperationsOnAClosedFileFail) {
  ScratchDir dir;
  std::unique_ptr<File> f = RealFileSystem().OpenAppend(dir.Join("c").c_str());
  ASSERT_TRUE(f && f->Close());
  std::uint64_t size;
  EXPECT_FALSE(f->Write("x", 1));
  EXPECT_FALSE(f->Size(&size));
  EXPECT_FALSE(f->Close());
}

TEST(FileSysTest, FaultFileSystemFailsTheChosenStep) {
  ScratchDir dir;
  std::string path = dir.Join("f");
  FaultFileSystem faulty(RealFileSystem());
  faulty.FailStep(3, false);
  std::unique_ptr<File> f = faulty.OpenAppend(path.c_str());  // step 1
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->Write("a", 1));   // 2
  EXPECT_FALSE(f->Write("b", 1));  // 3 fails
  EXPECT_TRUE(f->Write("c", 1));   // 4
  EXPECT_TRUE(f->Close());         // 5
  EXPECT_EQ(ReadBytes(path), "ac");
  EXPECT_EQ(faulty.failures(), 1u);

  faulty.FailStep(faulty.steps() + 2, true);
  f = faulty.OpenAppend(path.c_str());
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->Write("d", 1));
  EXPECT_FALSE(f->Close());
  EXPECT_EQ(ReadBytes(path), "ac");
}

}  // namespace
