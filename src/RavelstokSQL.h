// The export run: command line, booking record, event-code normalisation, transfer and report
// lines, the booking statements and the session opening.
#ifndef DORNVIK_RAVELSTOKSQL_H_
#define DORNVIK_RAVELSTOKSQL_H_

#include <cstdint>
#include <cstdio>
#include <string>

class File;

// One booking row: sixteen NUL-terminated texts in the order of the cursor's select list.
// A plain value type, copied and cleared whole.
struct BewRecord {
  char BewTID[256];
  char BewLID[6];
  char BewIDN[51];
  char BewSto[9];
  char BewDtm[20];  // yyyymmddhh24miss
  char BewUhr[20];  // yyyymmddhh24miss
  char BewLfn[4];
  char BewArt[4];
  char BewTas[3];
  char BewEra[4];
  char BewKze[2];
  char BewBer[2];
  char BewErq[11];
  char BewKst[31];
  char BewQua[6];
  char BewSrc[4];
};

// Exit statuses of the driver besides the sqlcodes that it passes on.
constexpr int kExitUsage = 98;
constexpr int kExitNoSettings = 97;
constexpr int kExitTargetPresent = 1;
constexpr int kExitCommitted = 1;
constexpr int kExitCommitFailed = 0;
constexpr int kExitTempFile = 90;
constexpr int kExitWriteFailed = 91;

// Run-wide state of the driver.
struct RunState {
  std::string IniPath;
  bool ConsoleEcho = false;
  std::int32_t ExportCount = 0;
  // The line being formatted for the run log; it grows with its content.
  std::string LogLine;
};

// Where console texts go (standard output unless a test redirects them).
extern std::FILE* ConsoleOut;

// The record that the booking statements fetch into and bind from.
extern BewRecord BookingHost;

// The statement texts, exactly as they are sent.
extern const char kBookingQuery[];
extern const char kMarkStatement[];
extern const char kPurgeStatement[];
extern const char kServerTimeQuery[];

// printf into a growing text.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Rewrites BewEra by the rule that BewSrc selects; true when the row goes to the transfer file.
bool NormalizeEventCode(BewRecord& record);

// Writes the row's transfer line, counts it, logs it and (with the echo on) prints it. False
// when the transfer line could not be written; nothing is counted or logged then.
bool WriteTransferLine(RunState& run, File& transfer, const BewRecord& record);

int OpenBookingCursor();
int FetchBooking(BewRecord& record);
int CloseBookingCursor();
int MarkBookingTransferred(const BewRecord& record);
int PurgeTransferredBookings();

// Opens the session from the settings file at run.IniPath: 0, 97 or the failing sqlcode.
int ConnectDatabase(RunState& run);
// Writes the server time "dd.mm.yyyy hh24:mi:ss" into `buffer` (at least 20 bytes).
int GetServerTime(char* buffer);

// One export run over the default SQL runtime and file system; returns the exit status.
int RunExport(int argc, char** argv);

// The run's status as the process reports it. Windows keeps all 32 bits. Elsewhere only the
// low 8 bits survive, and a negative sqlcode whose low byte reads as 0 or 1 would pass for a
// success: such a status is reported as 255.
int ProcessExitStatus(int status);

#endif  // DORNVIK_RAVELSTOKSQL_H_
