#include "RavelstokSQL.h"

#include <cstdarg>
#include <cstring>
#include <memory>

#include "CrashPoint.h"
#include "FileSys.h"
#include "IniHlp.h"
#include "RunLog.h"
#include "SQLHlp.h"
#include "SqlRuntime.h"
#include "StrHlp.h"

std::FILE* ConsoleOut = stdout;
BewRecord BookingHost;

const char kBookingQuery[] =
    "select BewTID ,BewLID ,BewIDN ,BewSto ,to_char(BewDtm,'yyyymmddhh24miss') "
    ",to_char(BewUhr,'yyyymmddhh24miss') ,BewLfn ,BewArt ,BewTas ,BewEra ,BewKze ,BewBer "
    ",BewErq ,BewKst ,BewQua ,BewSrc  from QRSCHEMA.Qrv321Bew where (BewUkz<>4 or BewUkz is "
    "null ) order by BewDtm,BewUhr            ";
static_assert(sizeof kBookingQuery == 287, "the booking query is sent with its 286 characters");

const char kMarkStatement[] =
    "update QRSCHEMA.Qrv321Bew  set BewUkz=4,BewUdt=SYSTIMESTAMP where ((((BewIDN=:b0 and "
    "BewSto=:b1) and BewDtm=to_date(:b2,'yyyymmddhh24miss')) and "
    "BewUhr=to_date(:b3,'yyyymmddhh24miss')) and BewLfn=:b4)";

const char kPurgeStatement[] =
    "delete  from QRSCHEMA.QRV321BEW  where (BewDat<ADD_MONTHS(SYSDATE,(-3)) and BewUkz=4)";

const char kServerTimeQuery[] =
    "select TO_CHAR(SYSDATE,'dd.mm.yyyy hh24:mi:ss') into :b0  from dual ";

namespace {

const char kSchema[] = "QRSCHEMA";
const char kTempSuffix[] = ".tmp";
const char kFinalSuffix[] = ".dat";

// Log texts in Windows-1252 (0xDC is U umlaut, 0xFC u umlaut).
const char kBannerStart[] =
    "\n>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>Protokollierung gestartet:";
const char kBannerEnd[] = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>Programm beendet\n\n\n";
const char kSettingsMissing[] = "Velmorand.Ini-Datei nicht gefunden";
const char kConnectFailedLog[] = "Verbinden mit Datenbank fehlgeschlagen";
const char kConnectFailedConsole[] = "Datenbankverbindung fehlgeschlagen, Fehler: %d\n";
const char kTransferFromLog[] =
    "\xDC"
    "bergabe vom %s\n";
const char kTransferFromConsole[] = "Uebergabe am %s gestartet\n\n";
const char kTargetPresent[] = "Error: Datei %s ist vorhanden\n";
const char kTempFileFailed[] = "Zieldatei auf Server kann nicht erzeugt werden\n";
const char kWriteFailed[] = "Fehler beim Schreiben der Zieldatei %s\n";
const char kReadFailed[] = "Fehler beim Lesen der Buchungen: %d\n";
const char kCountLog[] =
    "\nAnzahl \xFC"
    "bergebener Buchungen : %d";
const char kCountConsole[] = "\nAnzahl uebergebener Buchungen : %d";
const char kTransferLine[] = "%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s\n";
const char kRowLog[] = "%s,%s,%s,%s,%s,%s, %s, %s";
const char kRowConsole[] = "ID: %s, Buchung vom %s %s  uebergeben\n";

// Upper-cased copy of the booking source, for the comparisons of the normalisation.
char SourceKey[sizeof(BewRecord::BewSrc)];
// Date and time parts of the current transfer line.
char TransferDate[9];
char TransferTime[7];
// The server time host variable; it changes only when the query succeeds.
char ServerTimeHost[20];

std::string VFormat(const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<std::size_t>(n));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vfprintf(ConsoleOut, format, args);
  va_end(args);
}

void Log(RunState& run, std::string line) {
  run.LogLine = std::move(line);
  WriteLog(kRunLogPath, run.LogLine.c_str());
}

bool Equals(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool IsOneOf(const char* value, std::initializer_list<const char*> codes) {
  for (const char* code : codes) {
    if (Equals(value, code)) return true;
  }
  return false;
}

void SetCode(BewRecord& record, const char* code) {
  std::memcpy(record.BewEra, code, sizeof record.BewEra);  // three characters and the NUL
}

void PrintUsage() {
  Print("Befehlsformat: \n");
  Print("Dornvik_<DB>.EXE <Velmorand.ini> <ZielPfad>\n");
  Print("\n");
  Print("DB           : Datenbanksystem, zB. Oracle\n");
  Print("Velmorand.ini: Name und Pfad der Velmorand.ini-Datei\n");
  Print("Zielpfad     : Pfad der Uebergabedatei\n");
  Print("\n");
}

int Finish(int status) {
  std::fflush(ConsoleOut);
  return status;
}

}  // namespace

std::string Format(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  return text;
}

bool NormalizeEventCode(BewRecord& record) {
  std::memcpy(SourceKey, record.BewSrc, sizeof SourceKey);
  StrUpper(SourceKey);

  if (Equals(SourceKey, "DTA")) {
    if (IsOneOf(record.BewEra, {"200", "201", "202", "203", "206", "207", "208"})) {
      SetCode(record, "204");
    } else if (IsOneOf(record.BewEra, {"430", "431", "500", "501"})) {
      SetCode(record, "426");
    }
  } else if (Equals(SourceKey, "40P")) {
    if (record.BewKze[0] != '\0') {
      SetCode(record, "100");
    } else if (Equals(record.BewBer, "1")) {
      SetCode(record, "204");
    } else {
      SetCode(record, "xxx");
    }
  } else if (Equals(SourceKey, "62P") || Equals(SourceKey, "50P")) {
    SetCode(record, "100");
  } else {
    SetCode(record, "xxx");
  }
  return IsOneOf(record.BewEra, {"100", "204", "426"});
}

bool WriteTransferLine(RunState& run, File& transfer, const BewRecord& record) {
  std::memset(TransferDate, 0, sizeof TransferDate);
  std::memset(TransferTime, 0, sizeof TransferTime);
  StrSubCopy(record.BewDtm, 0, 8, TransferDate, sizeof TransferDate);
  if (std::strlen(record.BewUhr) > 8)
    StrSubCopy(record.BewUhr, 8, 6, TransferTime, sizeof TransferTime);

  const BewRecord& r = record;
  std::string line = Format(kTransferLine, r.BewIDN, r.BewSto, TransferDate, TransferTime, r.BewLfn,
                            r.BewTID, r.BewLID, r.BewArt, r.BewKst, r.BewQua, r.BewKze, r.BewBer,
                            r.BewEra, r.BewErq, r.BewTas, r.BewSrc);
  if (!transfer.Write(line.data(), line.size())) return false;
  ++run.ExportCount;

  Log(run, Format(kRowLog, r.BewIDN, TransferDate, TransferTime, r.BewTID, r.BewLID, r.BewArt,
                  r.BewLfn, r.BewSrc));
  if (run.ConsoleEcho) Print(kRowConsole, r.BewIDN, TransferDate, TransferTime);
  return true;
}

int OpenBookingCursor() { return SqlDefault().OpenCursor(kBookingQuery); }

int FetchBooking(BewRecord& record) {
  std::memset(&BookingHost, 0, sizeof BookingHost);
  BewRecord& h = BookingHost;
  // The key columns carry no indicator: their NULL is reported as -1405.
  const SqlOutput outputs[] = {
      {h.BewTID, sizeof h.BewTID, true},  {h.BewLID, sizeof h.BewLID, true},
      {h.BewIDN, sizeof h.BewIDN, false}, {h.BewSto, sizeof h.BewSto, false},
      {h.BewDtm, sizeof h.BewDtm, false}, {h.BewUhr, sizeof h.BewUhr, false},
      {h.BewLfn, sizeof h.BewLfn, false}, {h.BewArt, sizeof h.BewArt, true},
      {h.BewTas, sizeof h.BewTas, true},  {h.BewEra, sizeof h.BewEra, true},
      {h.BewKze, sizeof h.BewKze, true},  {h.BewBer, sizeof h.BewBer, true},
      {h.BewErq, sizeof h.BewErq, true},  {h.BewKst, sizeof h.BewKst, true},
      {h.BewQua, sizeof h.BewQua, true},  {h.BewSrc, sizeof h.BewSrc, true},
  };
  int rc = SqlDefault().Fetch(outputs, sizeof outputs / sizeof outputs[0]);
  for (char* field : {h.BewTID, h.BewLID, h.BewIDN, h.BewSto, h.BewLfn, h.BewArt, h.BewTas,
                      h.BewEra, h.BewKze, h.BewBer, h.BewErq, h.BewKst, h.BewQua, h.BewSrc}) {
    StrTrimRight(field);
  }
  record = BookingHost;
  return rc;
}

int CloseBookingCursor() { return SqlDefault().CloseCursor(); }

int MarkBookingTransferred(const BewRecord& record) {
  BookingHost = record;
  if (BookingHost.BewIDN[0] == '\0') std::strcpy(BookingHost.BewIDN, " ");
  const char* const inputs[] = {BookingHost.BewIDN, BookingHost.BewSto, BookingHost.BewDtm,
                                BookingHost.BewUhr, BookingHost.BewLfn};
  return SqlDefault().Update(kMarkStatement, inputs, 5);
}

int PurgeTransferredBookings() { return SqlDefault().Delete(kPurgeStatement); }

int ConnectDatabase(RunState& run) {
  std::string user;
  std::string password;
  char service[42] = "";

  const char* path = run.IniPath.c_str();
  std::unique_ptr<File> settings = Fs().OpenRead(path);
  if (!settings) {
    Log(run, kSettingsMissing);
    Print("%s", kSettingsMissing);
    return kExitNoSettings;
  }
  settings->Close();

  GetIniValue("", "LOGIN", 0, path);
  user = IniValue;
  GetIniValue("", "PASS", 0, path);
  password = IniValue;
  GetIniValue("", "NET8", 0, path);
  std::size_t length = std::strlen(IniValue);
  if (length >= 1 && length < sizeof service) std::memcpy(service, IniValue, length + 1);

  int rc = SqlConnect(user.c_str(), password.c_str(), service, kSchema);
  if (rc != 0) {
    Print(kConnectFailedConsole, rc);
    return rc;
  }
  return 0;
}

int GetServerTime(char* buffer) {
  char answer[sizeof ServerTimeHost] = "";
  int rc = SqlDefault().SelectInto(kServerTimeQuery, answer, sizeof answer);
  if (rc == 0) std::memcpy(ServerTimeHost, answer, sizeof ServerTimeHost);
  std::memcpy(buffer, ServerTimeHost, sizeof ServerTimeHost);
  return rc;
}

int RunExport(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return Finish(kExitUsage);
  }

  RunState run;
  run.IniPath = argv[1];
  ServerTimeHost[0] = '\0';  // as at program start

  // The target directory is used in capitals; "/" is always put between it and the name.
  std::string targetPath = "BEWDATA";
  // An empty directory would put the files at the root of the file system ("/BEWDATA.tmp"),
  // where no consumer looks for them: such a run creates nothing and ends as one whose
  // temporary file cannot be created.
  bool targetGiven = true;
  if (argc >= 3) {
    StrUpper(argv[2]);
    if (!Equals(argv[2], "/D")) {
      targetPath = std::string(argv[2]) + "/BEWDATA";
      targetGiven = argv[2][0] != '\0';
    }
  }
  for (int i = 1; i < argc; ++i) {
    StrUpper(argv[i]);
    if (Equals(argv[i], "/D")) run.ConsoleEcho = true;
  }

  Log(run, kBannerStart);
  CrashPoint("banner");

  int runStatus = ConnectDatabase(run);
  if (runStatus != 0) {
    Log(run, kConnectFailedLog);
    return Finish(runStatus);
  }
  CrashPoint("connect");

  char serverTime[sizeof ServerTimeHost] = "";
  GetServerTime(serverTime);
  Log(run, Format(kTransferFromLog, serverTime));
  if (run.ConsoleEcho) Print(kTransferFromConsole, serverTime);

  // The names grow with the directory, however long it is; the system refuses what it cannot
  // open, and the run then ends with 90.
  targetPath += kTempSuffix;
  std::string finalPath = targetPath.substr(0, targetPath.size() - 4) + kFinalSuffix;

  if (!targetGiven) {
    Log(run, kTempFileFailed);
    if (run.ConsoleEcho) Print(kTempFileFailed);
    return Finish(kExitTempFile);
  }

  if (std::unique_ptr<File> present = Fs().OpenRead(finalPath.c_str())) {
    present->Close();
    Log(run, Format(kTargetPresent, finalPath.c_str()));
    if (run.ConsoleEcho) Print(kTargetPresent, finalPath.c_str());
    return Finish(kExitTargetPresent);
  }

  // The temporary file stays locked until the end of the run, so that a second run started
  // meanwhile cannot export the same rows into it.
  std::uint64_t startSize = 0;
  std::unique_ptr<File> transfer = Fs().OpenAppend(targetPath.c_str());
  if (!transfer || !transfer->LockExclusive() || !transfer->Size(&startSize)) {
    if (transfer) transfer->Close();
    Log(run, kTempFileFailed);
    if (run.ConsoleEcho) Print(kTempFileFailed);
    return Finish(kExitTempFile);
  }
  CrashPoint("open");

  run.ExportCount = 0;
  int openStatus = OpenBookingCursor();
  BewRecord current;
  bool writeFailed = false;
  for (;;) {
    runStatus = FetchBooking(current);
    if (runStatus != 0 && runStatus != kSqlNullFetched) break;
    if (NormalizeEventCode(current) && !WriteTransferLine(run, *transfer, current)) {
      writeFailed = true;  // this row is neither delivered nor marked
      break;
    }
    CrashPoint("line", run.ExportCount);
    MarkBookingTransferred(current);
    CrashPoint("mark", run.ExportCount);
  }
  int fetchStatus = runStatus;
  CloseBookingCursor();

  // The lines, and the file's name, must be on disk before the marks are committed.
  if (writeFailed || !transfer->Sync() || !Fs().SyncDirectoryOf(targetPath.c_str())) {
    transfer->Truncate(startSize);
    transfer->Close();
    Log(run, Format(kWriteFailed, targetPath.c_str()));
    if (run.ConsoleEcho) Print(kWriteFailed, targetPath.c_str());
    return Finish(kExitWriteFailed);
  }
  CrashPoint("synced");

  int readStatus = openStatus != 0 ? openStatus : (fetchStatus != kSqlNoData ? fetchStatus : 0);
  if (readStatus != 0) {
    Log(run, Format(kReadFailed, readStatus));
    if (run.ConsoleEcho) Print(kReadFailed, readStatus);
  }

  Log(run, Format(kCountLog, run.ExportCount));
  if (run.ConsoleEcho) Print(kCountConsole, run.ExportCount);

  PurgeTransferredBookings();
  CrashPoint("commit");
  runStatus = SqlCommit();
  CrashPoint("committed");

  // Only committed marks may be delivered: the rename follows the commit. Without the commit
  // the run's lines are taken back out of the temporary file.
  if (runStatus == kExitCommitted) {
    Fs().RenameNoReplace(targetPath.c_str(), finalPath.c_str());
  } else {
    transfer->Truncate(startSize);
  }
  CrashPoint("renamed");
  transfer->Close();

  Log(run, kBannerEnd);
  CrashPoint("end");
  if (runStatus == kExitCommitted && readStatus != 0) runStatus = readStatus;
  return Finish(runStatus);
}

int ProcessExitStatus(int status) {
#ifdef _WIN32
  return status;
#else
  if (status >= 0 && status <= 255) return status;
  int low = status & 0xFF;
  return low == kExitCommitted || low == kExitCommitFailed ? 255 : low;
#endif
}
