// The append-only run log with its single backup generation.
#ifndef DORNVIK_RUNLOG_H_
#define DORNVIK_RUNLOG_H_

#include <cstdint>

extern const char kRunLogPath[];    // "../../Velmorand_php/log/Ravelstok#Log.txt"
extern const char kRunLogBackup[];  // "../../Velmorand_php/log/Ravelstok#Log_bak.txt"
constexpr std::uint64_t kRunLogLimit = 10485760;

// Appends `text` and a line end to the log at `path`, every line feed stored as CR LF, and
// rotates the log into "<name>_bak.txt" once it holds more than kRunLogLimit bytes. `text` is
// not a format. Every failure is silent.
void WriteLog(const char* path, const char* text);

#endif  // DORNVIK_RUNLOG_H_
