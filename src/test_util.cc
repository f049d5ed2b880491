#include "test_util.h"

#include "BfCrypt.h"
#include "IniHlp.h"
#include "RavelstokSQL.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
#ifdef _WIN32
  // GetTempPath's directory; a name that is new is taken by creating it.
  const fs::path base = fs::temp_directory_path();
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    fs::path candidate = base / ("dornvik-test-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) path_ = candidate.generic_string();
  }
  if (path_.empty()) throw std::runtime_error("cannot create a scratch directory");
#else
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/dornvik-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
  path_ = name.data();
#endif
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Tests may leave read-only directories behind; make them writable again first.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_directory(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string ScratchDir::Join(const std::string& name) const { return path_ + "/" + name; }

ScopedCwd::ScopedCwd(const std::string& dir) : old_(fs::current_path().string()) {
  fs::current_path(dir);
}

ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  fs::current_path(old_, ec);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

#ifndef _WIN32
namespace {

ProcessResult Spawn(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::string& trigger, bool* killed) {
  ProcessResult result;
  if (killed) *killed = false;
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return result;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    result.out.append(buffer, static_cast<std::size_t>(n));
    if (!trigger.empty() && killed && !*killed && result.out.find(trigger) != std::string::npos) {
      ::kill(pid, SIGKILL);
      *killed = true;
    }
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd) {
  return Spawn(argv, cwd, "", nullptr);
}

ProcessResult RunUntilOutput(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::string& trigger, bool* killed) {
  return Spawn(argv, cwd, trigger, killed);
}
#endif  // _WIN32

const char* TestEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

std::string SettingsRecord(int index, const std::string& key, const std::string& value) {
  return "Dornvik;Datenbank;" + key + "\r\n" + std::to_string(index) + ";" + key + ";" +
         EncryptToHex(value, kIniCryptKey) + "\r\n";
}

int RunExportIn(const std::string& cwd, const std::vector<std::string>& args,
                std::string* console) {
  ScopedCwd inside(cwd);
  // The program may change its arguments in place, as a real one may.
  std::vector<std::vector<char>> storage;
  storage.emplace_back(std::vector<char>{'D', 'o', 'r', 'n', 'v', 'i', 'k', '\0'});
  for (const std::string& a : args) storage.emplace_back(a.c_str(), a.c_str() + a.size() + 1);
  std::vector<char*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  CaptureFile out;
  ConsoleOut = out.get();
  int status = RunExport(static_cast<int>(storage.size()), argv.data());
  ConsoleOut = stdout;
  if (console) *console = out.Text();
  return status;
}

CaptureFile::CaptureFile() : file_(std::fopen(dir_.Join("capture").c_str(), "w+b")) {
  if (!file_) throw std::runtime_error("cannot create a capture file");
}

CaptureFile::~CaptureFile() { std::fclose(file_); }

std::string CaptureFile::Text() {
  std::fflush(file_);
  std::rewind(file_);
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
  std::fseek(file_, 0, SEEK_END);
  return text;
}

std::string BuildExecutable(const std::string& name) {
  return std::string(DORNVIK_BUILD_DIR) + "/" + name;
}

namespace {

const char* OpName(FaultFileSystem::Op op) {
  switch (op) {
    case FaultFileSystem::Op::kOpenRead:
      return "open-read";
    case FaultFileSystem::Op::kOpenAppend:
      return "open-append";
    case FaultFileSystem::Op::kRead:
      return "read";
    case FaultFileSystem::Op::kWrite:
      return "write";
    case FaultFileSystem::Op::kFlush:
      return "flush";
    case FaultFileSystem::Op::kSync:
      return "sync";
    case FaultFileSystem::Op::kSize:
      return "size";
    case FaultFileSystem::Op::kTruncate:
      return "truncate";
    case FaultFileSystem::Op::kLock:
      return "lock";
    case FaultFileSystem::Op::kClose:
      return "close";
    case FaultFileSystem::Op::kRename:
      return "rename";
    case FaultFileSystem::Op::kRemove:
      return "remove";
    case FaultFileSystem::Op::kSyncDir:
      return "sync-dir";
  }
  return "?";
}

using Op = FaultFileSystem::Op;

// A file of the wrapped file system whose every operation is a step of its owner.
class FaultFile : public File {
 public:
  FaultFile(FaultFileSystem& owner, std::unique_ptr<File> base, std::string path)
      : owner_(owner), base_(std::move(base)), path_(std::move(path)) {}
  ~FaultFile() override {
    if (!closed_) base_->Close();
  }

  bool Read(char* buffer, std::size_t n, std::size_t* got) override {
    if (owner_.Step(Op::kRead, path_)) {
      *got = 0;
      return false;
    }
    return base_->Read(buffer, n, got);
  }
  bool Write(const char* data, std::size_t n) override {
    return !owner_.Step(Op::kWrite, path_) && base_->Write(data, n);
  }
  bool Flush() override { return !owner_.Step(Op::kFlush, path_) && base_->Flush(); }
  bool Sync() override { return !owner_.Step(Op::kSync, path_) && base_->Sync(); }
  bool Size(std::uint64_t* size) override {
    return !owner_.Step(Op::kSize, path_) && base_->Size(size);
  }
  bool Truncate(std::uint64_t size) override {
    return !owner_.Step(Op::kTruncate, path_) && base_->Truncate(size);
  }
  bool LockExclusive() override { return !owner_.Step(Op::kLock, path_) && base_->LockExclusive(); }
  // A failed close still releases the file, as a real one does.
  bool Close() override {
    bool fail = owner_.Step(Op::kClose, path_);
    closed_ = true;
    bool ok = base_->Close();
    return !fail && ok;
  }

 private:
  FaultFileSystem& owner_;
  std::unique_ptr<File> base_;
  std::string path_;
  bool closed_ = false;
};

}  // namespace

bool FaultFileSystem::Step(Op op, const std::string& path) {
  ++steps_;
  bool fail = fail_step_ != 0 && (steps_ == fail_step_ || (persist_ && steps_ > fail_step_));
  for (const Rule& rule : fail_ops_) {
    if (rule.op == op && path.find(rule.path_part) != std::string::npos) fail = true;
  }
  if (fail) ++failures_;
  trace_ += std::to_string(steps_) + " " + OpName(op) + " " + path + (fail ? " FAILED" : "") + "\n";
  return fail;
}

std::unique_ptr<File> FaultFileSystem::OpenRead(const char* path) {
  if (Step(Op::kOpenRead, path)) return nullptr;
  std::unique_ptr<File> f = base_.OpenRead(path);
  if (!f) return nullptr;
  return std::make_unique<FaultFile>(*this, std::move(f), path);
}

std::unique_ptr<File> FaultFileSystem::OpenAppend(const char* path) {
  if (Step(Op::kOpenAppend, path)) return nullptr;
  std::unique_ptr<File> f = base_.OpenAppend(path);
  if (!f) return nullptr;
  return std::make_unique<FaultFile>(*this, std::move(f), path);
}

bool FaultFileSystem::RenameNoReplace(const char* from, const char* to) {
  return !Step(Op::kRename, std::string(from) + " -> " + to) && base_.RenameNoReplace(from, to);
}

bool FaultFileSystem::SyncDirectoryOf(const char* path) {
  return !Step(Op::kSyncDir, path) && base_.SyncDirectoryOf(path);
}

bool FaultFileSystem::Remove(const char* path) {
  return !Step(Op::kRemove, path) && base_.Remove(path);
}

FakeSqlRuntime::Row FakeSqlRuntime::Booking(const std::string& idn) {
  Row row;
  row[0] = "T01";
  row[1] = "2";
  row[2] = idn;
  row[3] = "01";
  row[4] = "20241209000000";
  row[5] = "20241209070500";
  row[6] = "1";
  row[7] = "1";
  row[9] = "100";
  row[15] = "62P";
  return row;
}

int FakeSqlRuntime::Connect(const char* connectText) {
  calls.push_back(std::string("connect ") + connectText);
  return connectResult;
}

int FakeSqlRuntime::Prepare(const char* statement) {
  calls.push_back(std::string("prepare ") + statement);
  return 0;
}

int FakeSqlRuntime::Execute() {
  calls.push_back("execute");
  return executeResult;
}

int FakeSqlRuntime::SelectInto(const char* statement, char* out, std::size_t capacity) {
  calls.push_back(std::string("select ") + statement);
  if (selectResult == 0) std::snprintf(out, capacity, "%s", serverTime.c_str());
  return selectResult;
}

int FakeSqlRuntime::OpenCursor(const char* query) {
  calls.push_back(std::string("open ") + query);
  open_ = openResult == 0;
  return openResult;
}

int FakeSqlRuntime::Fetch(const SqlOutput* outputs, std::size_t count) {
  calls.push_back("fetch");
  if (!open_) return openResult != 0 ? openResult : kSqlInvalidCursor;
  if (fetchErrorAt >= 0 && next_ == static_cast<std::size_t>(fetchErrorAt)) return fetchError;
  if (next_ >= rows.size()) {
    for (std::size_t i = 0; i < count; ++i) outputs[i].data[0] = '\0';
    return kSqlNoData;
  }
  const Row& row = rows[next_++];
  int rc = 0;
  for (std::size_t i = 0; i < count && i < row.size(); ++i) {
    const std::optional<std::string>& v = row[i];
    int c = SqlStoreOutput(outputs[i], v ? v->data() : nullptr, v ? v->size() : 0);
    if (rc == 0) rc = c;
  }
  return rc;
}

int FakeSqlRuntime::CloseCursor() {
  calls.push_back("close");
  open_ = false;
  return 0;
}

int FakeSqlRuntime::Update(const char* statement, const char* const* inputs, std::size_t count) {
  std::string line = "update";
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < count; ++i) {
    keys.push_back(inputs[i]);
    line += (i == 0 ? " " : "|") + keys.back();
  }
  (void)statement;
  calls.push_back(line);
  marks.push_back(keys);
  return updateResult;
}

int FakeSqlRuntime::Delete(const char* statement) {
  calls.push_back(std::string("delete ") + statement);
  return deleteResult;
}

int FakeSqlRuntime::Commit() {
  calls.push_back("commit");
  return commitResult;
}
