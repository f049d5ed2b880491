// The command line and the names formed from it: RunExport with arguments taken from the input,
// over a scripted database and a file system in memory. Besides the sanitizers, every run is
// checked against the names and the exit status that the arguments call for.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BfCrypt.h"
#include "FileSys.h"
#include "IniHlp.h"
#include "MemFileSystem.h"
#include "RavelstokSQL.h"
#include "RunLog.h"
#include "SQLHlp.h"
#include "test_util.h"

namespace {

std::string Setting(int index, const char* key, const char* value) {
  return std::string("Dornvik;Datenbank;") + key + "\n" + std::to_string(index) + ";" + key + ";" +
         EncryptToHex(value, kIniCryptKey) + "\n";
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::size_t Lines(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* console = std::fopen("/dev/null", "w");
  if (size == 0) return 0;
  // First byte: bit 0 puts the settings file at argument 1; bit 1 fails the connect, bit 2 the
  // commit, bit 3 leaves a BEWDATA.dat where the run will look for it. The rest: the arguments
  // after the program name, separated by NUL bytes, at most eight of them.
  const std::uint8_t flags = data[0];
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 1; i < size && args.size() < 8; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (size > 1 && args.size() < 8) args.push_back(current);
  if ((flags & 1) != 0 && !args.empty()) args[0] = "Velmorand.ini";

  // What the arguments call for.
  std::string base = "BEWDATA";
  if (args.size() >= 2 && Upper(args[1]) != "/D") base = Upper(args[1]) + "/BEWDATA";
  const bool emptyTarget = args.size() >= 2 && args[1].empty();
  const std::string tmpPath = base + ".tmp";
  const std::string finalPath = base + ".dat";

  MemFileSystem fs;
  const std::string settings =
      Setting(1, "LOGIN", "scott") + Setting(2, "PASS", "tiger") + Setting(3, "NET8", "db");
  fs.Put("Velmorand.ini", settings);
  const bool present = (flags & 8) != 0 && !args.empty();
  if (present) fs.Put(finalPath, "unread\n");

  FakeSqlRuntime db;
  db.rows = {FakeSqlRuntime::Booking("1"), FakeSqlRuntime::Booking("2")};
  if ((flags & 2) != 0) db.connectResult = -1017;
  if ((flags & 4) != 0) db.commitResult = -3113;

  std::vector<std::vector<char>> storage;
  storage.push_back({'D', '\0'});
  for (const std::string& a : args) {
    storage.emplace_back(a.begin(), a.end());
    storage.back().push_back('\0');
  }
  std::vector<char*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The settings path may name any file that exists when the settings are read: the transfer
  // file left in place, or the run log, which the run's first line creates.
  const bool haveSettings = !args.empty() && (fs.Get(args[0]) != nullptr || args[0] == kRunLogPath);

  FileSystem* oldFs = SetFileSystem(&fs);
  SqlSetDefault(&db);
  ConsoleOut = console;
  const int status = RunExport(static_cast<int>(storage.size()), argv.data());
  ConsoleOut = stdout;
  SqlSetDefault(nullptr);
  SetFileSystem(oldFs);

  const std::string* delivered = fs.Get(finalPath);
  const std::string* left = fs.Get(tmpPath);
  if (args.empty()) {
    if (status != kExitUsage || fs.files.size() != 1) __builtin_trap();
  } else if (!haveSettings) {
    if (status != kExitNoSettings) __builtin_trap();
  } else if ((flags & 2) != 0) {
    if (status != -1017 || !db.marks.empty()) __builtin_trap();
  } else if (emptyTarget) {
    // An empty target directory is refused before any transfer file is looked at.
    if (status != kExitTempFile || left || !db.marks.empty()) __builtin_trap();
    if (delivered && (!present || *delivered != "unread\n")) __builtin_trap();
  } else if (present) {
    if (status != kExitTargetPresent || *delivered != "unread\n" || left || !db.marks.empty()) {
      __builtin_trap();
    }
  } else if ((flags & 4) != 0) {
    if (status != kExitCommitFailed || delivered || !left || !left->empty()) __builtin_trap();
  } else {
    if (status != kExitCommitted || !delivered || Lines(*delivered) != 2 || left ||
        db.marks.size() != 2) {
      __builtin_trap();
    }
  }
  // Besides the settings, the log and the transfer files nothing is ever created.
  for (const auto& [path, content] : fs.files) {
    if (path != "Velmorand.ini" && path != kRunLogPath && path != tmpPath && path != finalPath) {
      __builtin_trap();
    }
  }
  return 0;
}
