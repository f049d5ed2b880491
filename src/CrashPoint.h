// Named points of the run at which a test build can kill its own process, to show what a crash
// at that moment leaves behind. Only builds configured with DORNVIK_CRASH_POINTS contain them;
// everywhere else a crash point is an empty inline function.
#ifndef DORNVIK_CRASHPOINT_H_
#define DORNVIK_CRASHPOINT_H_

// The variable that chooses the point: "name" or "name:n", for example "line:3".
constexpr const char kCrashPointVariable[] = "DORNVIK_CRASH_AT";

#ifdef DORNVIK_CRASH_POINTS
// Kills the process at once (SIGKILL, nothing flushed or rolled back) when DORNVIK_CRASH_AT
// names this point: `name` alone, or `name:count` for the point reached with `count`.
void CrashPoint(const char* name, long count = 0);
#else
inline void CrashPoint(const char*, long = 0) {}
#endif

#endif  // DORNVIK_CRASHPOINT_H_
