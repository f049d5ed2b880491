// Booking databases for the SQLite engine: the table, its indexes and demo bookings.
#include "DemoDb.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// Date columns hold text 'YYYY-MM-DD HH:MM:SS' (TEXT affinity keeps them text); BewUkz is an
// integer, every other column text.
constexpr const char kCreateTable[] =
    "CREATE TABLE Qrv321Bew ("
    "BewTID TEXT, BewLID TEXT, BewIDN TEXT, BewSto TEXT, BewDtm TEXT, BewUhr TEXT, "
    "BewLfn TEXT, BewArt TEXT, BewTas TEXT, BewEra TEXT, BewKze TEXT, BewBer TEXT, "
    "BewErq TEXT, BewKst TEXT, BewQua TEXT, BewSrc TEXT, BewUkz INTEGER, BewUdt TEXT, "
    "BewDat TEXT)";

// The mark finds its row by the five-column key; the cursor reads in date and time order.
constexpr const char kCreateIndexes[] =
    "CREATE INDEX Qrv321Bew_Key ON Qrv321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn);"
    "CREATE INDEX Qrv321Bew_Time ON Qrv321Bew (BewDtm, BewUhr);";

constexpr const char kInsert[] =
    "INSERT INTO Qrv321Bew (BewTID, BewLID, BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewArt, "
    "BewTas, BewEra, BewKze, BewBer, BewErq, BewKst, BewQua, BewSrc, BewUkz, BewUdt, BewDat) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, "
    "?19)";

bool FileExists(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// An open database that is closed (and, if it was made here and is unfinished, removed) at
// the end of the scope.
class Database {
 public:
  Database(const char* path, std::string* error) : path_(path), error_(error) {}
  ~Database() {
    if (db_ != nullptr) {
      if (sqlite3_get_autocommit(db_) == 0) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      }
      sqlite3_close_v2(db_);
    }
    if (created_ && !done_) std::remove(path_);
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool Open() {
    created_ = !FileExists(path_);
    const int rc =
        sqlite3_open_v2(path_, &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) return Fail("cannot open");
    sqlite3_extended_result_codes(db_, 1);
    return true;
  }
  bool Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail("cannot write");
  }
  bool Fail(const char* what) {
    *error_ = std::string(what) + " " + path_ + ": " +
              (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
    return false;
  }
  // True when the file already has the table (any case of its name).
  bool HasTable(bool* has) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT 1 FROM sqlite_master WHERE type='table' AND "
                           "name='Qrv321Bew' COLLATE NOCASE",
                           -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return Fail("cannot read");
    }
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return Fail("cannot read");
    *has = rc == SQLITE_ROW;
    return true;
  }
  // Begins the transaction that creates the table, unless the file has it already.
  bool Start() {
    bool has = false;
    if (!HasTable(&has)) return false;
    if (has) {
      *error_ = std::string(path_) + " already holds table Qrv321Bew";
      return false;
    }
    return Exec("BEGIN IMMEDIATE") && Exec(kCreateTable);
  }
  void Done() { done_ = true; }
  sqlite3* db() const { return db_; }

 private:
  const char* path_;
  std::string* error_;
  sqlite3* db_ = nullptr;
  bool created_ = false;
  bool done_ = false;
};

// ---------------------------------------------------------------------------------------------
// Demo bookings.

std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

// The local date of `now` as a day number.
std::int64_t LocalDay(std::time_t now) {
  std::tm t{};
#if defined(_WIN32)
  localtime_s(&t, &now);
#else
  localtime_r(&now, &t);
#endif
  return DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
}

// SplitMix64: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // A number in [0, n).
  unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }

 private:
  std::uint64_t state_;
};

// Booking sources: the four of the normalisation rule, one in lower case, an unknown one and
// none at all (the later rows also have "DTA " with a trailing blank, which the fetch trims).
const char* const kSources[] = {"DTA", "40P", "62P", "50P", "dta", "ZZZ", nullptr};
constexpr unsigned kSourceCount = sizeof kSources / sizeof kSources[0];
// Every event code that the normalisation rule names, and none.
const char* const kCodes[] = {"200", "201", "202", "203", "204", "205", "206", "207",
                              "208", "430", "431", "500", "501", "100", "426", nullptr};
constexpr unsigned kCodeCount = sizeof kCodes / sizeof kCodes[0];
// The first rows walk through every pair of source and code.
constexpr long kCatalogue = static_cast<long>(kSourceCount * kCodeCount);

struct Field {
  bool null = true;
  std::string text;
  void Set(const std::string& value) {
    null = false;
    text = value;
  }
  void Set(const char* value) {
    null = value == nullptr;
    text = value != nullptr ? value : "";
  }
};

enum Column {
  kTID,
  kLID,
  kIDN,
  kSto,
  kDtm,
  kUhr,
  kLfn,
  kArt,
  kTas,
  kEra,
  kKze,
  kBer,
  kErq,
  kKst,
  kQua,
  kSrc,
  kUdt,
  kDat,
  kTextColumns
};

std::string Printf(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, a, b, c);
  return buffer;
}

std::string DateText(std::int64_t dayNumber, unsigned secondOfDay) {
  int y = 0, m = 0, d = 0;
  CivilFromDays(dayNumber, &y, &m, &d);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02u:%02u:%02u", y, m, d, secondOfDay / 3600,
                secondOfDay / 60 % 60, secondOfDay % 60);
  return buffer;
}

// One booking. `ukz` is the transfer mark, -1 for NULL.
void MakeRow(long i, std::int64_t today, Random& rnd, Field* f, long* ukz) {
  for (int c = 0; c < kTextColumns; ++c) f[c] = Field();
  const char* source;
  const char* code;
  unsigned daysBack;
  *ukz = -1;
  bool transferred = false;
  if (i < kCatalogue) {
    const auto k = static_cast<unsigned>(i);
    source = kSources[k % kSourceCount];
    code = kCodes[k / kSourceCount % kCodeCount];
    daysBack = k % 10;
    if (k % 8 == 0) {  // an old transferred row for the purge
      daysBack = 100 + k;
      transferred = true;
    } else if (k % 2 == 1) {
      *ukz = 0;
    }
  } else {
    const unsigned pick = rnd.Below(100);
    const unsigned src = rnd.Below(100);
    source = src < 40   ? "DTA"
             : src < 60 ? "40P"
             : src < 72 ? "62P"
             : src < 84 ? "50P"
             : src < 90 ? "dta"
             : src < 95 ? "ZZZ"
             : src < 98 ? nullptr
                        : "DTA ";
    code = kCodes[rnd.Below(kCodeCount)];
    if (pick < 45) {  // waiting for the export
      daysBack = rnd.Below(21);
      const unsigned mark = rnd.Below(10);
      *ukz = mark < 7 ? -1 : mark < 9 ? 0 : static_cast<long>(mark) - 8;
    } else if (pick < 75) {  // transferred lately, kept by the purge
      daysBack = rnd.Below(81);
      transferred = true;
    } else if (pick < 92) {  // transferred long ago, deleted by the purge
      daysBack = 100 + rnd.Below(400);
      transferred = true;
    } else {  // old and never transferred: exported, never purged
      daysBack = 100 + rnd.Below(400);
    }
  }
  const std::int64_t day = today - daysBack;
  const unsigned second = 6 * 3600 + rnd.Below(14 * 3600);
  const auto n = static_cast<unsigned>(i);

  f[kTID].Set(Printf("TID%08u", n));
  f[kLID].Set(Printf("L%02u", 1 + rnd.Below(20)));
  f[kIDN].Set(Printf("%u", 1000 + rnd.Below(4000)));
  f[kSto].Set(Printf("T%02u", 1 + rnd.Below(12)));
  f[kDtm].Set(DateText(day, 0));
  f[kUhr].Set(DateText(day, second));
  f[kLfn].Set(Printf("%u", n % 999 + 1));
  static const char* const kArts[] = {"KO", "GE", "DG", "PA"};
  f[kArt].Set(kArts[rnd.Below(4)]);
  f[kTas].Set(Printf("F%u", 1 + rnd.Below(9)));
  f[kEra].Set(code);
  const unsigned kze = rnd.Below(10);
  f[kKze].Set(kze < 6 ? nullptr : kze < 7 ? " " : kze < 9 ? "K" : "X");
  const unsigned ber = rnd.Below(10);
  f[kBer].Set(ber < 5 ? "1" : ber < 8 ? "0" : nullptr);
  if (rnd.Below(2) == 0) f[kErq].Set(Printf("%u", rnd.Below(100000)));
  if (rnd.Below(4) != 0) f[kKst].Set(Printf("KST-%04u", rnd.Below(10000)));
  if (rnd.Below(3) == 0) f[kQua].Set(Printf("Q%u", rnd.Below(100)));
  f[kSrc].Set(source);
  f[kDat].Set(DateText(day, 0));
  if (transferred) {
    *ukz = 4;
    f[kUdt].Set(DateText(day + 1, 2 * 3600 + rnd.Below(3600)));
  }

  // Blank and padded values that the fetch trims.
  if (i % 11 == 3) f[kTID].text += "   ";
  if (i % 13 == 6 && !f[kKst].null) f[kKst].text += "\t";
  // A few rows of the catalogue with NULL, empty or blank key columns and other oddities.
  switch (i) {
    case 4:
      f[kIDN].Set(nullptr);
      break;
    case 9:
      f[kIDN].Set(" ");
      break;  // blank: the mark binds one blank and finds it
    case 15:
      f[kSto].Set(nullptr);
      break;
    case 22:
      f[kLfn].Set(nullptr);
      break;
    case 29:
      f[kUhr].Set(nullptr);
      break;
    case 36:
      f[kDtm].Set(nullptr);
      break;
    case 43:
      f[kIDN].Set("");
      break;  // empty text, Oracle's NULL
    case 50:
      for (int c = kTID; c <= kSrc; ++c) f[c].Set(nullptr);
      break;
    case 57:
      f[kKst].Set("KST-" + std::string(26, '9'));
      break;  // 30 characters, the limit
    default:
      break;
  }
}

bool FillDemo(Database& db, long count, std::time_t now) {
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db.db(), kInsert, -1, &insert, nullptr) != SQLITE_OK) {
    sqlite3_finalize(insert);
    return db.Fail("cannot write");
  }
  const std::int64_t today = LocalDay(now);
  Random rnd(0xD0B711C5EEDULL);
  Field fields[kTextColumns];
  bool ok = true;
  for (long i = 0; ok && i < count; ++i) {
    long ukz = -1;
    MakeRow(i, today, rnd, fields, &ukz);
    // Parameters 1..16 are the selected columns, 17 BewUkz, 18 BewUdt, 19 BewDat.
    for (int c = 0; c < kTextColumns; ++c) {
      const int param = c < kUdt ? c + 1 : c + 2;
      const Field& field = fields[c];
      if (field.null) {
        sqlite3_bind_null(insert, param);
      } else {
        sqlite3_bind_text(insert, param, field.text.data(), static_cast<int>(field.text.size()),
                          SQLITE_TRANSIENT);
      }
    }
    if (ukz < 0) {
      sqlite3_bind_null(insert, 17);
    } else {
      sqlite3_bind_int64(insert, 17, ukz);
    }
    ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
  }
  if (!ok) db.Fail("cannot write");
  sqlite3_finalize(insert);
  return ok;
}

}  // namespace

bool SqliteInitDb(const char* path, std::string* error) {
  Database db(path, error);
  if (!db.Open() || !db.Start() || !db.Exec(kCreateIndexes) || !db.Exec("COMMIT")) return false;
  db.Done();
  return true;
}

bool SqliteDemoDb(const char* path, long count, std::string* error, std::time_t now) {
  if (count < 0) {
    *error = "the number of bookings must not be negative";
    return false;
  }
  if (now == 0) now = std::time(nullptr);
  Database db(path, error);
  // The bulk load runs in one transaction with the journal in memory and without syncs; the
  // indexes are built once the rows are in.
  if (!db.Open() || !db.Exec("PRAGMA journal_mode=MEMORY") || !db.Exec("PRAGMA synchronous=OFF") ||
      !db.Exec("PRAGMA cache_size=-65536")) {
    return false;
  }
  if (!db.Start() || !FillDemo(db, count, now) || !db.Exec(kCreateIndexes) || !db.Exec("COMMIT")) {
    return false;
  }
  // Back to the safe defaults; the synced write of the version makes the file durable.
  if (!db.Exec("PRAGMA journal_mode=DELETE") || !db.Exec("PRAGMA synchronous=FULL") ||
      !db.Exec("PRAGMA user_version=1")) {
    return false;
  }
  db.Done();
  return true;
}
