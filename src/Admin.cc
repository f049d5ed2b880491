#include "Admin.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BfCrypt.h"
#ifdef DORNVIK_HAVE_SQLITE
#include "DemoDb.h"
#endif
#include "FileSys.h"
#include "IniHlp.h"
#ifdef DORNVIK_HAVE_PG
#include "PgDemoDb.h"
#endif

namespace {

const char kUsage[] =
    "usage: DornvikAdmin COMMAND ARGS\n"
    "\n"
    "  encrypt TEXT               print TEXT in the encrypted form of Velmorand.ini\n"
    "  ini-set FILE KEY VALUE     store VALUE encrypted under KEY (LOGIN, PASS, NET8) in FILE\n"
    "  ini-get FILE KEY           print the value that the export reads for KEY from FILE\n"
    "  init-db FILE               create an empty SQLite booking database\n"
    "  demo-db FILE N             create a SQLite booking database with N demo bookings\n"
    "  init-db --postgresql USER/PASSWORD@SERVICE\n"
    "                             create schema qrschema and its booking table on PostgreSQL\n"
    "  demo-db --postgresql USER/PASSWORD@SERVICE N\n"
    "                             the same, filled with N demo bookings\n";

// What one lookup of the export returns at most: IniValue holds 200 characters, so a stored
// value has at most 12 blocks of 16 digits, that is 96 bytes of plain text.
constexpr std::size_t kMaxPlain = 96;
// The export uses a "NET8" value only when it has 1 to 41 characters.
constexpr std::size_t kMaxService = 41;

struct Line {
  std::string text;  // without its line end
  std::string end;   // "\r\n", "\n" or "" for a last line without one
};

bool ReadAll(const char* path, std::string* bytes) {
  std::unique_ptr<File> f = Fs().OpenRead(path);
  if (!f) return false;
  char buffer[8192];
  std::size_t got = 0;
  bool ok = true;
  while ((ok = f->Read(buffer, sizeof buffer, &got)) && got > 0) bytes->append(buffer, got);
  f->Close();
  return ok;
}

std::vector<Line> SplitLines(const std::string& bytes) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t lf = bytes.find('\n', pos);
    Line line;
    if (lf == std::string::npos) {
      line.text = bytes.substr(pos);
      pos = bytes.size();
    } else {
      std::size_t end = lf;
      if (end > pos && bytes[end - 1] == '\r') --end;
      line.text = bytes.substr(pos, end - pos);
      line.end = bytes.substr(end, lf + 1 - end);
      pos = lf + 1;
    }
    lines.push_back(line);
  }
  return lines;
}

// The key field of a record's second line: between its first and second ';'.
std::string KeyOf(const std::string& line) {
  std::size_t first = line.find(';');
  if (first == std::string::npos) return std::string();
  std::size_t second = line.find(';', first + 1);
  if (second == std::string::npos) return std::string();
  return line.substr(first + 1, second - first - 1);
}

bool WriteAll(const char* path, const std::string& bytes, std::FILE* err) {
  // Written beside the file and moved over it only when complete, so that a failure leaves the
  // old settings intact.
  std::string temp = std::string(path) + ".new";
  Fs().Remove(temp.c_str());
  std::unique_ptr<File> f = Fs().OpenAppend(temp.c_str());
  bool ok = f && f->Write(bytes.data(), bytes.size()) && f->Sync();
  if (f) ok = f->Close() && ok;
  if (ok) {
    Fs().Remove(path);
    ok = Fs().RenameNoReplace(temp.c_str(), path);
  }
  if (!ok) {
    std::fprintf(err, "DornvikAdmin: cannot write %s\n", path);
    Fs().Remove(temp.c_str());
  }
  return ok;
}

// The value the export reads for `key`, and whether that lookup takes the key's own record.
bool ProgramLookup(const char* path, const char* key, std::string* value) {
  GetIniValue("", key, 0, path);
  *value = IniValue;
  return std::strcmp(IniKey, key) == 0;
}

int Encrypt(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc != 3) {
    std::fputs(kUsage, err);
    return 2;
  }
  if (std::strlen(argv[2]) > kMaxPlain) {
    std::fprintf(err, "DornvikAdmin: TEXT has more than %zu characters\n", kMaxPlain);
    return 2;
  }
  std::fprintf(out, "%s\n", EncryptToHex(argv[2], kIniCryptKey).c_str());
  return 0;
}

int IniSet(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc != 5) {
    std::fputs(kUsage, err);
    return 2;
  }
  const char* path = argv[2];
  const std::string key = argv[3];
  const std::string value = argv[4];
  if (key.empty() || key.find_first_of(";\r\n") != std::string::npos) {
    std::fprintf(err, "DornvikAdmin: KEY must be non-empty and hold no ';' or line break\n");
    return 2;
  }
  if (value.size() > kMaxPlain) {
    std::fprintf(err, "DornvikAdmin: VALUE has more than %zu characters\n", kMaxPlain);
    return 2;
  }
  if (key == "NET8" && (value.empty() || value.size() > kMaxService)) {
    std::fprintf(err, "DornvikAdmin: NET8 must have 1 to %zu characters\n", kMaxService);
    return 2;
  }

  std::string bytes;
  ReadAll(path, &bytes);  // a missing file is created
  std::vector<Line> lines = SplitLines(bytes);
  if (lines.size() % 2 != 0) {
    std::fprintf(err, "DornvikAdmin: %s has an odd number of lines; its records are unclear\n",
                 path);
    return 1;
  }
  // New lines follow the file's own line ends; a new file gets those of Windows.
  std::string eol = "\r\n";
  if (!lines.empty() && !lines.front().end.empty()) eol = lines.front().end;

  const std::string stored = EncryptToHex(value, kIniCryptKey);
  long maxIndex = 0;
  bool replaced = false;
  for (std::size_t i = 1; i < lines.size(); i += 2) {
    maxIndex = std::max(maxIndex, std::strtol(lines[i].text.c_str(), nullptr, 10));
    if (!replaced && KeyOf(lines[i].text) == key) {
      std::string index = lines[i].text.substr(0, lines[i].text.find(';'));
      lines[i].text = index + ";" + key + ";" + stored;
      if (lines[i].end.empty()) lines[i].end = eol;
      replaced = true;
    }
  }
  if (!replaced) {
    if (!lines.empty() && lines.back().end.empty()) lines.back().end = eol;
    lines.push_back({"Dornvik;Datenbank;" + key, eol});
    lines.push_back({std::to_string(maxIndex + 1) + ";" + key + ";" + stored, eol});
  }

  std::string result;
  for (const Line& line : lines) result += line.text + line.end;
  if (!WriteAll(path, result, err)) return 1;

  std::string readBack;
  if (!ProgramLookup(path, key.c_str(), &readBack) || readBack != value) {
    std::fprintf(err,
                 "DornvikAdmin: stored, but the export's lookup of %s in %s takes an earlier "
                 "record (key \"%s\", section \"%s\", index %d): give that record a first "
                 "line with a section and a non-zero index\n",
                 key.c_str(), path, IniKey, IniSection, static_cast<int>(IniIndex));
    return 1;
  }
  std::fprintf(out, "%s %s in %s\n", replaced ? "replaced" : "added", key.c_str(), path);
  return 0;
}

int IniGet(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc != 4) {
    std::fputs(kUsage, err);
    return 2;
  }
  const char* path = argv[2];
  const char* key = argv[3];
  if (!Fs().OpenRead(path)) {
    std::fprintf(err, "DornvikAdmin: cannot open %s\n", path);
    return 1;
  }
  std::string value;
  bool own = ProgramLookup(path, key, &value);
  std::fprintf(out, "%s\n", value.c_str());
  if (!own) {
    if (IniKey[0] == '\0' && IniIndex == 0 && IniSection[0] == '\0' && value.empty()) {
      std::fprintf(err, "DornvikAdmin: no record of %s in %s\n", key, path);
    } else {
      std::fprintf(err,
                   "DornvikAdmin: the export does not read the record of %s: it takes the "
                   "record with key \"%s\", section \"%s\", index %d\n",
                   key, IniKey, IniSection, static_cast<int>(IniIndex));
    }
    return 1;
  }
  if (std::strcmp(key, "NET8") == 0 && (value.empty() || value.size() > kMaxService)) {
    std::fprintf(err, "DornvikAdmin: the export ignores a NET8 value of %zu characters\n",
                 value.size());
    return 1;
  }
  return 0;
}

// "init-db [--postgresql] TARGET" and "demo-db [--postgresql] TARGET N".
int CreateDb(int argc, char** argv, bool demo, std::FILE* out, std::FILE* err) {
  int first = 2;
  bool postgres = argc > 2 && std::strcmp(argv[2], "--postgresql") == 0;
  if (postgres) ++first;
  long count = 0;
  if (argc != first + (demo ? 2 : 1)) {
    std::fputs(kUsage, err);
    return 2;
  }
  if (demo) {
    char* end = nullptr;
    count = std::strtol(argv[first + 1], &end, 10);
    if (end == argv[first + 1] || *end != '\0' || count < 0) {
      std::fputs(kUsage, err);
      return 2;
    }
  }
  const char* target = argv[first];
  std::string error;
  bool ok = false;
  if (!postgres) {
#ifdef DORNVIK_HAVE_SQLITE
    ok = demo ? SqliteDemoDb(target, count, &error) : SqliteInitDb(target, &error);
#else
    error = "this build has no SQLite engine";
#endif
  } else {
#ifdef DORNVIK_HAVE_PG
    ok = demo ? PgDemoDb(target, count, &error) : PgInitDb(target, &error);
#else
    error = "this build has no PostgreSQL client";
#endif
  }
  if (!ok) {
    std::fprintf(err, "DornvikAdmin: %s\n", error.c_str());
    return 1;
  }
  // The connect text holds a password: name only where the data went.
  const char* where = postgres ? "qrschema.qrv321bew" : target;
  if (demo) {
    std::fprintf(out, "created %s with %ld bookings\n", where, count);
  } else {
    std::fprintf(out, "created %s\n", where);
  }
  return 0;
}

}  // namespace

int AdminMain(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc < 2) {
    std::fputs(kUsage, err);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "encrypt") return Encrypt(argc, argv, out, err);
  if (command == "ini-set") return IniSet(argc, argv, out, err);
  if (command == "ini-get") return IniGet(argc, argv, out, err);
  if (command == "init-db") return CreateDb(argc, argv, false, out, err);
  if (command == "demo-db") return CreateDb(argc, argv, true, out, err);
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(kUsage, out);
    return 0;
  }
  std::fprintf(err, "DornvikAdmin: unknown command '%s'\n\n%s", command.c_str(), kUsage);
  return 2;
}
