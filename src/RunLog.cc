#include "RunLog.h"

#include <cstring>
#include <memory>
#include <string>

#include "FileSys.h"

const char kRunLogPath[] = "../../Velmorand_php/log/Ravelstok#Log.txt";
const char kRunLogBackup[] = "../../Velmorand_php/log/Ravelstok#Log_bak.txt";

namespace {

// The backup beside a log: "x.txt" becomes "x_bak.txt".
std::string BackupPath(const char* path) {
  if (std::strcmp(path, kRunLogPath) == 0) return kRunLogBackup;
  std::string backup(path);
  const std::string ext = ".txt";
  if (backup.size() >= ext.size() &&
      backup.compare(backup.size() - ext.size(), ext.size(), ext) == 0) {
    backup.insert(backup.size() - ext.size(), "_bak");
  } else {
    backup += "_bak";
  }
  return backup;
}

}  // namespace

void WriteLog(const char* path, const char* text) {
  std::unique_ptr<File> log = Fs().OpenAppend(path);
  if (!log) return;

  // The log is a text file in the Windows manner on every system: each line feed is stored as
  // CR LF, the one that ends the line included.
  std::string line;
  line.reserve(std::strlen(text) + 2);
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n') line += '\r';
    line += *p;
  }
  line += "\r\n";

  std::uint64_t size = 0;
  bool measured = log->Write(line.data(), line.size()) && log->Size(&size);
  log->Close();
  if (measured && size > kRunLogLimit) {
    // One backup generation. The rename never replaces: if the old backup cannot be removed,
    // the live log stays in place and the rotation is tried again after the next line.
    std::string backup = BackupPath(path);
    Fs().Remove(backup.c_str());
    Fs().RenameNoReplace(path, backup.c_str());
  }
}
