// Helpers shared by the tests: scratch directories, whole-file reads and writes, child
// processes, and a file system that fails on command.
#ifndef DORNVIK_TEST_UTIL_H_
#define DORNVIK_TEST_UTIL_H_

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileSys.h"
#include "SqlRuntime.h"

// A fresh directory below the system's temporary directory, removed with its content when the
// object goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string Join(const std::string& name) const;

 private:
  std::string path_;
};

// A stream for code that prints, read back by the test. It lies in a scratch directory, not
// where tmpfile() puts it (the drive's root on Windows).
class CaptureFile {
 public:
  CaptureFile();
  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  std::FILE* get() const { return file_; }
  // Everything written so far.
  std::string Text();

 private:
  ScratchDir dir_;
  std::FILE* file_;
};

// Changes the working directory for the lifetime of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string old_;
};

bool FileExists(const std::string& path);
// The whole file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
void MakeDirs(const std::string& path);

// Child processes: the POSIX build of the tests only (fork and exec).
#ifndef _WIN32
struct ProcessResult {
  int status = -1;  // exit status (0-255), or -1 when the process did not exit normally
  int signal = 0;   // the signal that ended it, if any
  std::string out;  // standard output
};

// Runs `argv` (argv[0] a path) in `cwd` with standard input from /dev/null.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd);

// Runs `argv` like RunProcess, but kills it with SIGKILL as soon as its standard output holds
// `trigger`. `killed` tells whether that happened before the process ended by itself.
ProcessResult RunUntilOutput(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::string& trigger, bool* killed);
#endif  // _WIN32

// The path of an executable of this build (for example "Dornvik_SQLite").
std::string BuildExecutable(const std::string& name);

// An environment variable's value, or null when it is unset or empty.
const char* TestEnv(const char* name);

// One record of the settings file as the admin tool writes it: "Dornvik;Datenbank;KEY" and
// "INDEX;KEY;<encrypted value>", with CR LF line ends.
std::string SettingsRecord(int index, const std::string& key, const std::string& value);

// Runs the export in this process with `args` (without the program name) in the working
// directory `cwd`, over the runtime and file system installed; the console text comes back in
// `console` when it is given.
int RunExportIn(const std::string& cwd, const std::vector<std::string>& args,
                std::string* console = nullptr);

// Wraps a file system and fails chosen operations. Every operation on the file system and on
// the files it opened counts as one step, numbered from 1 in the order they happen.
class FaultFileSystem : public FileSystem {
 public:
  enum class Op {
    kOpenRead,
    kOpenAppend,
    kRead,
    kWrite,
    kFlush,
    kSync,
    kSize,
    kTruncate,
    kLock,
    kClose,
    kRename,
    kRemove,
    kSyncDir
  };

  explicit FaultFileSystem(FileSystem& base) : base_(base) {}

  // Fails step `step` (from 1); with `persist`, every later step fails too.
  void FailStep(std::uint64_t step, bool persist) {
    fail_step_ = step;
    persist_ = persist;
  }
  // Fails every operation of kind `op` whose path contains `pathPart` (empty: any path).
  void FailOp(Op op, const std::string& pathPart = "") { fail_ops_.push_back({op, pathPart}); }
  void Clear() {
    fail_step_ = 0;
    fail_ops_.clear();
  }
  std::uint64_t steps() const { return steps_; }
  std::uint64_t failures() const { return failures_; }
  // A readable trace of the operations, one per line ("3 write BEWDATA.tmp").
  const std::string& trace() const { return trace_; }

  std::unique_ptr<File> OpenRead(const char* path) override;
  std::unique_ptr<File> OpenAppend(const char* path) override;
  bool RenameNoReplace(const char* from, const char* to) override;
  bool Remove(const char* path) override;
  bool SyncDirectoryOf(const char* path) override;

  // Counts one step; true when it is to fail.
  bool Step(Op op, const std::string& path);

 private:
  struct Rule {
    Op op;
    std::string path_part;
  };
  FileSystem& base_;
  std::uint64_t steps_ = 0;
  std::uint64_t failures_ = 0;
  std::uint64_t fail_step_ = 0;
  bool persist_ = false;
  std::vector<Rule> fail_ops_;
  std::string trace_;
};

// Installs a file system for the lifetime of the object.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem* fs) : old_(SetFileSystem(fs)) {}
  ~ScopedFileSystem() { SetFileSystem(old_); }
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* old_;
};

// A scripted SQL runtime: serves the rows it was given, records every statement, and answers
// with the codes a test sets.
class FakeSqlRuntime : public SqlRuntime {
 public:
  using Row = std::array<std::optional<std::string>, 16>;

  std::vector<Row> rows;
  int connectResult = 0;
  int executeResult = 0;
  int selectResult = 0;
  std::string serverTime = "09.12.2024 07:05:00";
  int openResult = 0;
  // Fetch returns this code instead of the row with this index (-1: never).
  int fetchErrorAt = -1;
  int fetchError = kSqlEndOfFile;
  int updateResult = 0;
  int deleteResult = 0;
  int commitResult = 0;

  // A booking row as the cursor delivers it: the given BewIDN, stored 2024-12-09 07:05:00,
  // source 62P, event code 100.
  static Row Booking(const std::string& idn);

  // Every call, one line each: "connect scott/tiger@db", "update IDN|STO|DTM|UHR|LFN", ...
  std::vector<std::string> calls;
  // The key inputs of every update, in order.
  std::vector<std::vector<std::string>> marks;

  int Connect(const char* connectText) override;
  int Prepare(const char* statement) override;
  int Execute() override;
  int SelectInto(const char* statement, char* out, std::size_t capacity) override;
  int OpenCursor(const char* query) override;
  int Fetch(const SqlOutput* outputs, std::size_t count) override;
  int CloseCursor() override;
  int Update(const char* statement, const char* const* inputs, std::size_t count) override;
  int Delete(const char* statement) override;
  int Commit() override;

 private:
  std::size_t next_ = 0;
  bool open_ = false;
};

#endif  // DORNVIK_TEST_UTIL_H_
