// The embedded SQL runtime on SQLite.
//
// Oracle's meaning on SQLite:
// - Dates are stored as text 'YYYY-MM-DD HH:MM:SS'; that text sorts and compares like the date.
//   SYSDATE, SYSTIMESTAMP, TO_CHAR, TO_DATE and ADD_MONTHS become the functions ora_sysdate(),
//   ora_systimestamp(), ora_to_char(), ora_to_date() and ora_add_months() registered here.
// - SYSDATE is the local time of this machine, read once per statement (as Oracle does), so
//   every row of one statement sees the same value.
// - An empty text is NULL: empty inputs are bound as NULL, empty fetched values are NULL.
// - One connection, one transaction: the first statement after the connect (normally the
//   schema switch) begins it with BEGIN IMMEDIATE, so that no other writer can make a later
//   mark fail. Only Commit() commits; a runtime destroyed without it rolls back.
// - The cursor materialises its ordered result at OPEN into a temporary table (SQLite's temp
//   storage, which spills to a file), so the rows it delivers do not move while the same
//   connection updates the table between fetches.
#include "SqliteEngine.h"

#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SqlRuntime.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Oracle error numbers that this engine reports besides those of SqlRuntime.h.
constexpr int kOraInternal = -600;            // ORA-00600: anything without a closer match
constexpr int kOraInvalidSql = -900;          // ORA-00900: invalid SQL statement
constexpr int kOraInvalidIdentifier = -904;   // ORA-00904: no such column or function
constexpr int kOraMissingOption = -922;       // ORA-00922: missing or invalid option
constexpr int kOraInconsistentTypes = -932;   // ORA-00932
constexpr int kOraUniqueViolated = -1;        // ORA-00001
constexpr int kOraNoStatementParsed = -1003;  // ORA-01003: EXECUTE without a PREPARE
constexpr int kOraBindNotExisting = -1006;    // ORA-01006
constexpr int kOraNotInSelectList = -1007;    // ORA-01007: more outputs than columns
constexpr int kOraNotAllBound = -1008;        // ORA-01008
constexpr int kOraCancelled = -1013;          // ORA-01013
constexpr int kOraNoPrivilege = -1031;        // ORA-01031
constexpr int kOraNotNull = -1400;            // ORA-01400
constexpr int kOraTooManyRows = -1422;        // ORA-01422: SELECT INTO found more than one row
constexpr int kOraTooLong = -1489;            // ORA-01489
constexpr int kOraCorrupt = -1578;            // ORA-01578
constexpr int kOraFull = -1653;               // ORA-01653: unable to extend table
constexpr int kOraInvalidNumber = -1722;      // ORA-01722
constexpr int kOraBadFormat = -1821;          // ORA-01821: date format not recognized
constexpr int kOraFormatEnds = -1830;         // ORA-01830: format ends before the input
constexpr int kOraInputShort = -1840;         // ORA-01840: input not long enough for format
constexpr int kOraBadYear = -1841;            // ORA-01841: year must be 1..9999 here
constexpr int kOraBadMonth = -1843;           // ORA-01843: not a valid month
constexpr int kOraBadDay = -1847;             // ORA-01847: day of month out of range
constexpr int kOraBadHour12 = -1849;          // ORA-01849: hour must be between 1 and 12
constexpr int kOraBadHour = -1850;            // ORA-01850
constexpr int kOraBadMinute = -1851;          // ORA-01851
constexpr int kOraBadSecond = -1852;          // ORA-01852
constexpr int kOraNonNumeric = -1858;         // ORA-01858: non-numeric where a digit belongs
constexpr int kOraLiteralMismatch = -1861;    // ORA-01861: literal does not match format
constexpr int kOraCheckViolated = -2290;      // ORA-02290
constexpr int kOraParentMissing = -2291;      // ORA-02291
constexpr int kOraBadSessionOption = -2248;   // ORA-02248: invalid option for ALTER SESSION
constexpr int kOraOutOfMemory = -4030;        // ORA-04030
constexpr int kOraReadOnly = -16000;          // ORA-16000: database open for read-only access

const char* OraMessage(int code) {
  switch (code) {
    case kOraInvalidNumber:
      return "invalid number";
    case kOraBadFormat:
      return "date format not recognized";
    case kOraFormatEnds:
      return "date format picture ends before converting entire input string";
    case kOraInputShort:
      return "input value not long enough for date format";
    case kOraBadYear:
      return "year must be between 1 and 9999, and not be 0";
    case kOraBadMonth:
      return "not a valid month";
    case kOraBadDay:
      return "day of month must be between 1 and last day of month";
    case kOraBadHour12:
      return "hour must be between 1 and 12";
    case kOraBadHour:
      return "hour must be between 0 and 23";
    case kOraBadMinute:
      return "minutes must be between 0 and 59";
    case kOraBadSecond:
      return "seconds must be between 0 and 59";
    case kOraNonNumeric:
      return "a non-numeric character was found where a numeric was expected";
    case kOraLiteralMismatch:
      return "literal does not match format string";
    default:
      return "error";
  }
}

// The one place where SQLite's outcomes become Oracle sqlcodes.
//
//   SQLite                                   Oracle
//   SQLITE_OK, SQLITE_DONE, SQLITE_ROW       0
//   message "ORA-nnnnn: ..." (our functions) -nnnnn (date format errors, invalid number)
//   SQLITE_ERROR "no such table"             -942   ORA-00942 table or view does not exist
//   SQLITE_ERROR "no such column/function"   -904   ORA-00904 invalid identifier
//   SQLITE_ERROR "syntax error"/incomplete   -900   ORA-00900 invalid SQL statement
//   SQLITE_BUSY, SQLITE_LOCKED               -54    ORA-00054 resource busy
//   SQLITE_CONSTRAINT unique/primary key     -1     ORA-00001 unique constraint violated
//   SQLITE_CONSTRAINT not null               -1400  ORA-01400 cannot insert NULL
//   SQLITE_CONSTRAINT check                  -2290  ORA-02290 check constraint violated
//   SQLITE_CONSTRAINT foreign key            -2291  ORA-02291 parent key not found
//   SQLITE_READONLY                          -16000 ORA-16000 read-only access
//   SQLITE_IOERR, SQLITE_CANTOPEN (in use)   -3113  ORA-03113 end-of-file on channel
//   SQLITE_CORRUPT, SQLITE_NOTADB            -1578  ORA-01578 block corrupted
//   SQLITE_FULL                              -1653  ORA-01653 unable to extend table
//   SQLITE_NOMEM                             -4030  ORA-04030 out of process memory
//   SQLITE_INTERRUPT                         -1013  ORA-01013 user requested cancel
//   SQLITE_PERM, SQLITE_AUTH                 -1031  ORA-01031 insufficient privileges
//   SQLITE_TOOBIG                            -1489  ORA-01489 result too long
//   SQLITE_MISMATCH                          -932   ORA-00932 inconsistent datatypes
//   SQLITE_RANGE                             -1006  ORA-01006 bind variable does not exist
//   anything else                            -600   ORA-00600 internal error
// Outcomes of the engine itself:
//   no connection (never connected, or the connect failed)   -3114 ORA-03114
//   connect: no service, missing/unreadable/non-database file -12154 ORA-12154
//   connect: the file is locked by another connection         -54
//   connect: file can only be opened read-only               -16000
//   schema switch to another schema than QRSCHEMA            -1435 ORA-01435
//   another ALTER SESSION option / no schema name            -2248 / -922
//   EXECUTE without a PREPARE                                -1003 ORA-01003
//   FETCH or CLOSE of a cursor that is not open              -1001 ORA-01001
//   FETCH after an OPEN that failed                          the OPEN's code again
//   FETCH with more outputs than the query has columns       -1007 ORA-01007
//   fewer inputs than placeholders                           -1008 ORA-01008
//   SELECT INTO with more than one row                       -1422 ORA-01422
//   SELECT INTO / FETCH without a (further) row              1403
//   UPDATE / DELETE that changed no row                      1403 (as Oracle's embedded SQL)
//   a statement text that is empty                           -900
int MapSqliteError(int rc, const char* message) {
  const std::string_view msg = message != nullptr ? message : "";
  if (msg.size() > 4 && msg.substr(0, 4) == "ORA-") {
    int number = 0;
    std::size_t i = 4;
    while (i < msg.size() && i < 9 && msg[i] >= '0' && msg[i] <= '9') {
      number = number * 10 + (msg[i] - '0');
      ++i;
    }
    if (number > 0) return -number;
  }
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kSqlOk;
    case SQLITE_ERROR:
      if (msg.find("no such table") != std::string_view::npos) return kSqlTableMissing;
      if (msg.find("no such column") != std::string_view::npos ||
          msg.find("no such function") != std::string_view::npos) {
        return kOraInvalidIdentifier;
      }
      if (msg.find("syntax error") != std::string_view::npos ||
          msg.find("incomplete input") != std::string_view::npos) {
        return kOraInvalidSql;
      }
      return kOraInternal;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kSqlResourceBusy;
    case SQLITE_CONSTRAINT:
      switch (rc) {
        case SQLITE_CONSTRAINT_NOTNULL:
          return kOraNotNull;
        case SQLITE_CONSTRAINT_CHECK:
          return kOraCheckViolated;
        case SQLITE_CONSTRAINT_FOREIGNKEY:
          return kOraParentMissing;
        default:
          return kOraUniqueViolated;
      }
    case SQLITE_READONLY:
      return kOraReadOnly;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
      return kSqlEndOfFile;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return kOraCorrupt;
    case SQLITE_FULL:
      return kOraFull;
    case SQLITE_NOMEM:
      return kOraOutOfMemory;
    case SQLITE_INTERRUPT:
      return kOraCancelled;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kOraNoPrivilege;
    case SQLITE_TOOBIG:
      return kOraTooLong;
    case SQLITE_MISMATCH:
      return kOraInconsistentTypes;
    case SQLITE_RANGE:
      return kOraBindNotExisting;
    default:
      return kOraInternal;
  }
}

// ---------------------------------------------------------------------------------------------
// Text helpers (ASCII case folding only).

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Upper(std::string_view s) {
  std::string result(s);
  for (char& c : result) c = AsciiUpper(c);
  return result;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The settings hold Windows-1252 text; SQLite takes file names in UTF-8.
std::string Cp1252ToUtf8(std::string_view text) {
  static const unsigned short kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    unsigned code = byte;
    if (byte >= 0x80 && byte < 0xA0) code = kHigh[byte - 0x80];
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Statement texts as tokens.

enum class Tok { kSpace, kWord, kQuoted, kString, kNumber, kBind, kPunct };

struct Token {
  Tok kind;
  std::string_view text;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool IsWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool IsWordChar(char c) { return IsWordStart(c) || IsDigit(c) || c == '$' || c == '#'; }

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> tokens;
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = s[i];
    std::size_t j = i + 1;
    Tok kind = Tok::kPunct;
    if (IsSpace(c)) {
      while (j < n && IsSpace(s[j])) ++j;
      kind = Tok::kSpace;
    } else if (c == '-' && j < n && s[j] == '-') {
      while (j < n && s[j] != '\n') ++j;
      kind = Tok::kSpace;  // a comment is kept as it is, like white space
    } else if (c == '/' && j < n && s[j] == '*') {
      const std::size_t end = s.find("*/", j + 1);
      j = end == std::string_view::npos ? n : end + 2;
      kind = Tok::kSpace;
    } else if (IsWordStart(c)) {
      while (j < n && IsWordChar(s[j])) ++j;
      kind = Tok::kWord;
    } else if (IsDigit(c)) {
      while (j < n && (IsDigit(s[j]) || s[j] == '.')) ++j;
      kind = Tok::kNumber;
    } else if (c == '\'') {
      while (j < n) {
        if (s[j] == '\'') {
          if (j + 1 < n && s[j + 1] == '\'') {
            j += 2;
            continue;
          }
          ++j;
          break;
        }
        ++j;
      }
      kind = Tok::kString;
    } else if (c == '"') {
      const std::size_t end = s.find('"', j);
      j = end == std::string_view::npos ? n : end + 1;
      kind = Tok::kQuoted;
    } else if (c == ':' && j < n && IsWordStart(s[j])) {
      while (j < n && IsWordChar(s[j])) ++j;
      kind = Tok::kBind;
    }
    tokens.push_back({kind, s.substr(i, j - i)});
    i = j;
  }
  return tokens;
}

bool IsWord(const Token& t, const char* upperWord) {
  return t.kind == Tok::kWord && Upper(t.text) == upperWord;
}
bool IsPunct(const Token& t, char c) {
  return t.kind == Tok::kPunct && t.text.size() == 1 && t.text[0] == c;
}

// The statement in SQLite's dialect, with what the cursor needs to know about its shape.
struct Translation {
  static constexpr std::size_t npos = std::string::npos;
  std::string text;
  std::size_t selectEnd = npos;  // just behind a leading SELECT
  std::size_t orderPos = npos;   // start of the top-level ORDER BY
  std::string orderTerms;        // its terms, translated, NULLS placement included
  bool orderAtEnd = false;       // the top-level ORDER BY runs to the end of the text
  bool plainSelect = true;       // no DISTINCT, no compound, no positional ORDER BY term
};

// Oracle placeholder ":bN" -> SQLite "?N+1"; other names stay named parameters.
std::string TranslateBind(std::string_view bind) {
  if (bind.size() >= 3 && (bind[1] == 'b' || bind[1] == 'B')) {
    unsigned long number = 0;
    bool digits = bind.size() <= 7;
    for (std::size_t k = 2; digits && k < bind.size(); ++k) {
      if (!IsDigit(bind[k])) digits = false;
      number = number * 10 + static_cast<unsigned long>(bind[k] - '0');
    }
    if (digits) {
      std::string marker = "?";
      marker += std::to_string(number + 1);
      return marker;
    }
  }
  return std::string(bind);
}

// The translation, token by token:
//   :bN                        -> ?N+1
//   INTO :b0[, :b1 ...]        -> dropped (the output goes to the host variable)
//   FROM DUAL                  -> dropped
//   QRSCHEMA.                  -> main.      (unquoted: any case; quoted: exact)
//   SYSDATE, SYSTIMESTAMP      -> ora_sysdate(), ora_systimestamp()
//   TO_CHAR( TO_DATE( ADD_MONTHS(  -> ora_to_char( ora_to_date( ora_add_months(
//   ORDER BY a, b DESC         -> ORDER BY a NULLS LAST, b DESC NULLS FIRST  (Oracle's places)
// Everything else, white space included, is passed on as it is.
Translation Translate(std::string_view oracle) {
  const std::vector<Token> tok = Tokenize(oracle);
  const std::size_t n = tok.size();
  auto next = [&](std::size_t j) {
    while (j < n && tok[j].kind == Tok::kSpace) ++j;
    return j;
  };

  Translation tr;
  std::string& out = tr.text;
  int depth = 0;
  bool first = true;

  // State of an ORDER BY list being copied.
  bool inOrder = false;
  bool orderTop = false;
  int orderDepth = 0;
  bool termEmpty = true;
  bool termNulls = false;
  std::string termLast;
  std::string pendingSpace;
  std::size_t termsStart = 0;
  auto endTerm = [&]() {
    if (!termEmpty && !termNulls) out += termLast == "DESC" ? " NULLS FIRST" : " NULLS LAST";
    termEmpty = true;
    termNulls = false;
    termLast.clear();
  };

  std::size_t i = 0;
  while (i < n) {
    const Token& t = tok[i];
    if (inOrder) {
      if (t.kind == Tok::kSpace) {
        pendingSpace += t.text;
        ++i;
        continue;
      }
      const bool ends =
          depth == orderDepth && (IsPunct(t, ',') || IsPunct(t, ')') || IsWord(t, "LIMIT") ||
                                  IsWord(t, "OFFSET") || IsWord(t, "FETCH") || IsWord(t, "FOR"));
      if (ends) {
        endTerm();
        out += pendingSpace;
        pendingSpace.clear();
        if (IsPunct(t, ',')) {
          out += ',';
          ++i;
          continue;
        }
        if (orderTop) tr.orderTerms = out.substr(termsStart);
        inOrder = false;
      } else {
        out += pendingSpace;
        pendingSpace.clear();
        if (termEmpty && t.kind == Tok::kNumber && orderTop) tr.plainSelect = false;
        termEmpty = false;
        if (t.kind == Tok::kWord) {
          termLast = Upper(t.text);
          if (termLast == "NULLS") termNulls = true;
        }
      }
    }

    if (t.kind == Tok::kSpace) {
      out += t.text;
      ++i;
      continue;
    }
    const bool wasFirst = first;
    first = false;

    if (t.kind == Tok::kBind) {
      out += TranslateBind(t.text);
      ++i;
      continue;
    }
    if (t.kind == Tok::kPunct) {
      if (t.text[0] == '(') ++depth;
      if (t.text[0] == ')') --depth;
      out += t.text;
      ++i;
      continue;
    }
    if (t.kind == Tok::kQuoted) {
      if (t.text == "\"QRSCHEMA\"" && i + 1 < n && IsPunct(tok[i + 1], '.')) {
        out += "main";
      } else {
        out += t.text;
      }
      ++i;
      continue;
    }
    if (t.kind != Tok::kWord) {
      out += t.text;
      ++i;
      continue;
    }

    const std::string up = Upper(t.text);
    if (wasFirst && up == "SELECT") {
      out += t.text;
      tr.selectEnd = out.size();
      const std::size_t j = next(i + 1);
      if (j < n &&
          (IsWord(tok[j], "DISTINCT") || IsWord(tok[j], "UNIQUE") || IsWord(tok[j], "ALL"))) {
        tr.plainSelect = false;
      }
      ++i;
      continue;
    }
    if (up == "INTO") {
      std::size_t j = next(i + 1);
      if (j < n && tok[j].kind == Tok::kBind) {
        // Skip the output list: binds (with indicator binds) separated by commas.
        while (true) {
          std::size_t k = next(j + 1);
          if (k < n && tok[k].kind == Tok::kBind) {
            j = k;
            continue;
          }
          if (k < n && IsWord(tok[k], "INDICATOR")) {
            const std::size_t m = next(k + 1);
            if (m < n && tok[m].kind == Tok::kBind) {
              j = m;
              continue;
            }
          }
          if (k < n && IsPunct(tok[k], ',')) {
            const std::size_t m = next(k + 1);
            if (m < n && tok[m].kind == Tok::kBind) {
              j = m;
              continue;
            }
          }
          break;
        }
        i = j + 1;
        continue;
      }
    }
    if (up == "FROM") {
      const std::size_t j = next(i + 1);
      if (j < n && IsWord(tok[j], "DUAL")) {
        const std::size_t k = next(j + 1);
        if (k >= n || !IsPunct(tok[k], '.')) {
          i = j + 1;
          continue;
        }
      }
    }
    if (up == "QRSCHEMA" && i + 1 < n && IsPunct(tok[i + 1], '.')) {
      out += "main";
      ++i;
      continue;
    }
    if (up == "SYSDATE" || up == "SYSTIMESTAMP") {
      const std::size_t j = next(i + 1);
      if (j >= n || !IsPunct(tok[j], '(')) {
        out += up == "SYSDATE" ? "ora_sysdate()" : "ora_systimestamp()";
        ++i;
        continue;
      }
    }
    if (up == "TO_CHAR" || up == "TO_DATE" || up == "ADD_MONTHS") {
      const std::size_t j = next(i + 1);
      if (j < n && IsPunct(tok[j], '(')) {
        out += up == "TO_CHAR" ? "ora_to_char" : up == "TO_DATE" ? "ora_to_date" : "ora_add_months";
        ++i;
        continue;
      }
    }
    if (depth == 0 && (up == "UNION" || up == "INTERSECT" || up == "EXCEPT" || up == "MINUS")) {
      tr.plainSelect = false;
    }
    if (up == "ORDER" && !inOrder) {
      const std::size_t j = next(i + 1);
      if (j < n && IsWord(tok[j], "BY")) {
        orderTop = depth == 0;
        if (orderTop) tr.orderPos = out.size();
        for (std::size_t k = i; k <= j; ++k) out += tok[k].text;
        termsStart = out.size();
        inOrder = true;
        orderDepth = depth;
        termEmpty = true;
        termNulls = false;
        termLast.clear();
        i = j + 1;
        continue;
      }
    }
    out += t.text;
    ++i;
  }
  if (inOrder) {
    endTerm();
    if (orderTop) {
      tr.orderTerms = out.substr(termsStart);
      tr.orderAtEnd = true;
    }
    out += pendingSpace;
  }
  return tr;
}

// "ALTER SESSION SET CURRENT_SCHEMA=X": true when the text is an ALTER SESSION, with the
// sqlcode of the switch in `code`. The file is the schema QRSCHEMA; an unquoted name is
// compared as Oracle folds it (upper case), a quoted one exactly.
bool ParseAlterSession(std::string_view text, int* code) {
  std::vector<Token> sig;
  for (const Token& t : Tokenize(text)) {
    if (t.kind != Tok::kSpace) sig.push_back(t);
  }
  if (sig.size() < 3 || !IsWord(sig[0], "ALTER") || !IsWord(sig[1], "SESSION") ||
      !IsWord(sig[2], "SET")) {
    return false;
  }
  if (sig.size() < 4 || !IsWord(sig[3], "CURRENT_SCHEMA")) {
    *code = kOraBadSessionOption;
    return true;
  }
  std::size_t end = sig.size();
  if (end > 0 && IsPunct(sig[end - 1], ';')) --end;
  if (end != 6 || !IsPunct(sig[4], '=')) {
    *code = kOraMissingOption;
    return true;
  }
  const Token& name = sig[5];
  bool match = false;
  if (name.kind == Tok::kWord) {
    match = Upper(name.text) == "QRSCHEMA";
  } else if (name.kind == Tok::kQuoted) {
    match = name.text == "\"QRSCHEMA\"";
  } else {
    *code = kOraMissingOption;
    return true;
  }
  *code = match ? kSqlOk : kSqlUnknownUser;
  return true;
}

bool IsDmlText(std::string_view text) {
  for (const Token& t : Tokenize(text)) {
    if (t.kind == Tok::kSpace) continue;
    if (t.kind == Tok::kPunct && t.text == "(") continue;
    return IsWord(t, "UPDATE") || IsWord(t, "DELETE") || IsWord(t, "INSERT") || IsWord(t, "MERGE");
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Dates.

struct OraDate {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string FormatCanonical(const OraDate& d) {
  char buffer[80];  // room for any int, so that no field can be cut
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day,
                d.hour, d.minute, d.second);
  return buffer;
}

// Reads `count` digits at `*pos` of `s`.
bool ReadDigits(std::string_view s, std::size_t* pos, std::size_t count, int* value) {
  if (*pos + count > s.size()) return false;
  int v = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const char c = s[*pos + k];
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  *pos += count;
  *value = v;
  return true;
}

// A stored date text: 'YYYY-MM-DD', optionally followed by ' HH:MM', ':SS', a fraction and a
// UTC offset (the forms that SYSDATE and SYSTIMESTAMP leave); 'T' may stand for the blank.
bool ParseStoredDate(std::string_view s, OraDate* d) {
  std::size_t p = 0;
  OraDate r;
  if (!ReadDigits(s, &p, 4, &r.year) || p >= s.size() || s[p++] != '-' ||
      !ReadDigits(s, &p, 2, &r.month) || p >= s.size() || s[p++] != '-' ||
      !ReadDigits(s, &p, 2, &r.day)) {
    return false;
  }
  if (p < s.size()) {
    if (s[p] != ' ' && s[p] != 'T') return false;
    ++p;
    if (!ReadDigits(s, &p, 2, &r.hour) || p >= s.size() || s[p++] != ':' ||
        !ReadDigits(s, &p, 2, &r.minute)) {
      return false;
    }
    if (p < s.size() && s[p] == ':') {
      ++p;
      if (!ReadDigits(s, &p, 2, &r.second)) return false;
      if (p < s.size() && s[p] == '.') {
        ++p;
        const std::size_t start = p;
        while (p < s.size() && IsDigit(s[p])) ++p;
        if (p == start) return false;
      }
    }
    while (p < s.size() && s[p] == ' ') ++p;
    if (p < s.size()) {
      if (s[p] == 'Z') {
        ++p;
      } else if (s[p] == '+' || s[p] == '-') {
        ++p;
        int hh = 0;
        int mm = 0;
        if (!ReadDigits(s, &p, 2, &hh) || p >= s.size() || s[p++] != ':' ||
            !ReadDigits(s, &p, 2, &mm)) {
          return false;
        }
      } else {
        return false;
      }
    }
    if (p != s.size()) return false;
  }
  if (r.year < 1 || r.month < 1 || r.month > 12 || r.day < 1 ||
      r.day > DaysInMonth(r.year, r.month) || r.hour > 23 || r.minute > 59 || r.second > 59) {
    return false;
  }
  *d = r;
  return true;
}

// Oracle's date format model, as far as the program uses it: YYYY MM DD HH24 HH12 HH MI SS,
// the separators - / , . ; : and blank, and "quoted text"; case does not matter.
enum class Fe { kYear, kMonth, kDay, kHour24, kHour12, kMinute, kSecond, kText };

struct FmtItem {
  Fe kind;
  std::string text;  // kText only
};

int ParseFormat(std::string_view f, std::vector<FmtItem>* items) {
  static const struct {
    const char* name;
    Fe kind;
  } kElements[] = {{"YYYY", Fe::kYear}, {"HH24", Fe::kHour24}, {"HH12", Fe::kHour12},
                   {"HH", Fe::kHour12}, {"MM", Fe::kMonth},    {"MI", Fe::kMinute},
                   {"DD", Fe::kDay},    {"SS", Fe::kSecond}};
  std::size_t i = 0;
  while (i < f.size()) {
    const char c = f[i];
    if (c == '"') {
      const std::size_t end = f.find('"', i + 1);
      if (end == std::string_view::npos) return kOraBadFormat;
      items->push_back({Fe::kText, std::string(f.substr(i + 1, end - i - 1))});
      i = end + 1;
      continue;
    }
    if (c == '-' || c == '/' || c == ',' || c == '.' || c == ';' || c == ':' || c == ' ') {
      items->push_back({Fe::kText, std::string(1, c)});
      ++i;
      continue;
    }
    bool found = false;
    for (const auto& e : kElements) {
      const std::size_t len = std::strlen(e.name);
      if (i + len <= f.size() && Upper(f.substr(i, len)) == e.name) {
        items->push_back({e.kind, {}});
        i += len;
        found = true;
        break;
      }
    }
    if (!found) return kOraBadFormat;
  }
  return kSqlOk;
}

// Appends `value` (0..9999 here) with at least `width` digits.
void AppendNumber(std::string& out, int value, int width) {
  char digits[12];
  int n = 0;
  unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < 10);
  while (n < width) digits[n++] = '0';
  while (n > 0) out += digits[--n];
}

std::string ToChar(const OraDate& d, const std::vector<FmtItem>& items) {
  std::string out;
  out.reserve(24);
  for (const FmtItem& item : items) {
    int value = 0;
    switch (item.kind) {
      case Fe::kText:
        out += item.text;
        continue;
      case Fe::kYear:
        AppendNumber(out, d.year, 4);
        continue;
      case Fe::kMonth:
        value = d.month;
        break;
      case Fe::kDay:
        value = d.day;
        break;
      case Fe::kHour24:
        value = d.hour;
        break;
      case Fe::kHour12:
        value = d.hour % 12 == 0 ? 12 : d.hour % 12;
        break;
      case Fe::kMinute:
        value = d.minute;
        break;
      case Fe::kSecond:
        value = d.second;
        break;
    }
    AppendNumber(out, value, 2);
  }
  return out;
}

// TO_DATE: reads `s` by the format items. Missing trailing time elements count as 0; elements
// absent from the format default as Oracle's do (current year and month, first day, midnight).
int ToDate(std::string_view s, const std::vector<FmtItem>& items, const std::tm& now, OraDate* d) {
  int year = -1, month = -1, day = -1, hour = -1, hour12 = -1, minute = -1, second = -1;
  std::size_t p = 0;
  for (std::size_t k = 0; k < items.size(); ++k) {
    const FmtItem& item = items[k];
    if (p >= s.size()) {
      // The input ends: only time elements and separators may be left over.
      for (std::size_t m = k; m < items.size(); ++m) {
        const Fe kind = items[m].kind;
        if (kind == Fe::kYear || kind == Fe::kMonth || kind == Fe::kDay) return kOraInputShort;
      }
      break;
    }
    if (item.kind == Fe::kText) {
      if (item.text.size() == 1 && !IsAlnum(item.text[0])) {
        if (IsAlnum(s[p])) return kOraLiteralMismatch;
        ++p;
      } else {
        if (Upper(s.substr(p, item.text.size())) != Upper(item.text)) return kOraLiteralMismatch;
        p += item.text.size();
      }
      continue;
    }
    const std::size_t width = item.kind == Fe::kYear ? 4 : 2;
    int value = 0;
    std::size_t got = 0;
    while (got < width && p < s.size() && IsDigit(s[p])) {
      value = value * 10 + (s[p] - '0');
      ++p;
      ++got;
    }
    if (got == 0) return kOraNonNumeric;
    switch (item.kind) {
      case Fe::kYear:
        year = value;
        break;
      case Fe::kMonth:
        month = value;
        break;
      case Fe::kDay:
        day = value;
        break;
      case Fe::kHour24:
        hour = value;
        break;
      case Fe::kHour12:
        hour12 = value;
        break;
      case Fe::kMinute:
        minute = value;
        break;
      case Fe::kSecond:
        second = value;
        break;
      case Fe::kText:
        break;
    }
  }
  if (p < s.size()) return kOraFormatEnds;
  OraDate r;
  r.year = year >= 0 ? year : now.tm_year + 1900;
  r.month = month >= 0 ? month : now.tm_mon + 1;
  r.day = day >= 0 ? day : 1;
  if (hour12 >= 0) {
    if (hour12 < 1 || hour12 > 12) return kOraBadHour12;
    r.hour = hour12 % 12;
  } else {
    r.hour = hour >= 0 ? hour : 0;
  }
  r.minute = minute >= 0 ? minute : 0;
  r.second = second >= 0 ? second : 0;
  if (r.year < 1 || r.year > 9999) return kOraBadYear;
  if (r.month < 1 || r.month > 12) return kOraBadMonth;
  if (r.day < 1 || r.day > DaysInMonth(r.year, r.month)) return kOraBadDay;
  if (r.hour > 23) return kOraBadHour;
  if (r.minute > 59) return kOraBadMinute;
  if (r.second > 59) return kOraBadSecond;
  *d = r;
  return kSqlOk;
}

// Oracle's ADD_MONTHS: the last day of a month, or a day that the target month lacks, gives
// the last day of the target month; the time of day is kept.
int AddMonths(const OraDate& d, std::int64_t months, OraDate* result) {
  const std::int64_t total = static_cast<std::int64_t>(d.year) * 12 + (d.month - 1) + months;
  if (total < 12 || total >= 10000 * 12) return kOraBadYear;
  OraDate r = d;
  r.year = static_cast<int>(total / 12);
  r.month = static_cast<int>(total % 12) + 1;
  const int last = DaysInMonth(r.year, r.month);
  if (d.day == DaysInMonth(d.year, d.month) || d.day > last) r.day = last;
  *result = r;
  return kSqlOk;
}

// ---------------------------------------------------------------------------------------------
// The registered SQL functions.

// The clock as read at the start of the current statement.
struct StatementTime {
  std::tm local{};
  int offsetMinutes = 0;  // local time minus UTC
};

bool LocalTime(std::time_t t, std::tm* out) {
#if defined(_WIN32)
  return localtime_s(out, &t) == 0;
#else
  return localtime_r(&t, out) != nullptr;
#endif
}

bool UtcTime(std::time_t t, std::tm* out) {
#if defined(_WIN32)
  return gmtime_s(out, &t) == 0;
#else
  return gmtime_r(&t, out) != nullptr;
#endif
}

OraDate FromTm(const std::tm& t) {
  OraDate d;
  d.year = t.tm_year + 1900;
  d.month = t.tm_mon + 1;
  d.day = t.tm_mday;
  d.hour = t.tm_hour;
  d.minute = t.tm_min;
  d.second = t.tm_sec > 59 ? 59 : t.tm_sec;  // a leap second is not a DATE
  return d;
}

void ResultOraError(sqlite3_context* ctx, int code) {
  char message[128];
  std::snprintf(message, sizeof message, "ORA-%05d: %s", -code, OraMessage(code));
  sqlite3_result_error(ctx, message, -1);
}

void ResultText(sqlite3_context* ctx, const std::string& text) {
  sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The text of an argument; false for NULL and for the empty text (Oracle's NULL).
bool ArgText(sqlite3_value* v, std::string_view* text) {
  if (sqlite3_value_type(v) == SQLITE_NULL) return false;
  const unsigned char* data = sqlite3_value_text(v);
  const int bytes = sqlite3_value_bytes(v);
  if (data == nullptr || bytes <= 0) return false;
  *text = std::string_view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(bytes));
  return true;
}

const StatementTime& TimeOf(sqlite3_context* ctx) {
  return *static_cast<const StatementTime*>(sqlite3_user_data(ctx));
}

void FnSysdate(sqlite3_context* ctx, int, sqlite3_value**) {
  ResultText(ctx, FormatCanonical(FromTm(TimeOf(ctx).local)));
}

void FnSystimestamp(sqlite3_context* ctx, int, sqlite3_value**) {
  const StatementTime& time = TimeOf(ctx);
  const int offset = time.offsetMinutes;
  const int magnitude = offset < 0 ? -offset : offset;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".000000 %c%02d:%02d", offset < 0 ? '-' : '+',
                magnitude / 60, magnitude % 60);
  ResultText(ctx, FormatCanonical(FromTm(time.local)) + suffix);
}

// The parsed format model of argument `arg`. A constant model (the program's are) is parsed
// once per statement and kept with it.
const std::vector<FmtItem>* FormatOf(sqlite3_context* ctx, int arg, std::string_view format,
                                     std::vector<FmtItem>* local, int* code) {
  if (const auto* kept = static_cast<const std::vector<FmtItem>*>(sqlite3_get_auxdata(ctx, arg))) {
    return kept;
  }
  *code = ParseFormat(format, local);
  if (*code != kSqlOk) return nullptr;
  sqlite3_set_auxdata(ctx, arg, new std::vector<FmtItem>(*local),
                      [](void* items) { delete static_cast<std::vector<FmtItem>*>(items); });
  return local;
}

void FnToChar(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  std::string_view value;
  if (!ArgText(argv[0], &value)) return sqlite3_result_null(ctx);
  if (argc == 1) return ResultText(ctx, std::string(value));
  std::string_view format;
  if (!ArgText(argv[1], &format)) return sqlite3_result_null(ctx);
  std::vector<FmtItem> local;
  int code = kSqlOk;
  const std::vector<FmtItem>* items = FormatOf(ctx, 1, format, &local, &code);
  if (items == nullptr) return ResultOraError(ctx, code);
  OraDate date;
  if (!ParseStoredDate(value, &date)) return ResultOraError(ctx, kOraLiteralMismatch);
  ResultText(ctx, ToChar(date, *items));
}

void FnToDate(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  std::string_view value;
  if (!ArgText(argv[0], &value)) return sqlite3_result_null(ctx);
  OraDate date;
  if (argc == 1) {
    if (!ParseStoredDate(value, &date)) return ResultOraError(ctx, kOraLiteralMismatch);
    return ResultText(ctx, FormatCanonical(date));
  }
  std::string_view format;
  if (!ArgText(argv[1], &format)) return sqlite3_result_null(ctx);
  std::vector<FmtItem> local;
  int code = kSqlOk;
  const std::vector<FmtItem>* items = FormatOf(ctx, 1, format, &local, &code);
  if (items != nullptr) code = ToDate(value, *items, TimeOf(ctx).local, &date);
  if (code != kSqlOk) return ResultOraError(ctx, code);
  ResultText(ctx, FormatCanonical(date));
}

void FnAddMonths(sqlite3_context* ctx, int, sqlite3_value** argv) {
  std::string_view value;
  if (!ArgText(argv[0], &value)) return sqlite3_result_null(ctx);
  std::int64_t months = 0;
  switch (sqlite3_value_numeric_type(argv[1])) {
    case SQLITE_NULL:
      return sqlite3_result_null(ctx);
    case SQLITE_INTEGER:
      months = sqlite3_value_int64(argv[1]);
      break;
    case SQLITE_FLOAT: {
      const double m = std::trunc(sqlite3_value_double(argv[1]));
      if (!(m > -1e6 && m < 1e6)) return ResultOraError(ctx, kOraBadYear);
      months = static_cast<std::int64_t>(m);
      break;
    }
    default: {
      std::string_view text;
      if (!ArgText(argv[1], &text)) return sqlite3_result_null(ctx);
      return ResultOraError(ctx, kOraInvalidNumber);
    }
  }
  if (months < -1000000 || months > 1000000) return ResultOraError(ctx, kOraBadYear);
  OraDate date;
  if (!ParseStoredDate(value, &date)) return ResultOraError(ctx, kOraLiteralMismatch);
  OraDate result;
  const int code = AddMonths(date, months, &result);
  if (code != kSqlOk) return ResultOraError(ctx, code);
  ResultText(ctx, FormatCanonical(result));
}

bool RegisterFunctions(sqlite3* db, StatementTime* time) {
  // SYSDATE and SYSTIMESTAMP change between statements; the others depend on their arguments
  // only within one statement and may be used for index look-ups.
  const int fixed = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  const struct {
    const char* name;
    int args;
    int flags;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
  } kFunctions[] = {
      {"ora_sysdate", 0, SQLITE_UTF8, FnSysdate},
      {"ora_systimestamp", 0, SQLITE_UTF8, FnSystimestamp},
      {"ora_to_char", 1, fixed, FnToChar},
      {"ora_to_char", 2, fixed, FnToChar},
      {"ora_to_date", 1, fixed, FnToDate},
      {"ora_to_date", 2, fixed, FnToDate},
      {"ora_add_months", 2, fixed, FnAddMonths},
  };
  for (const auto& f : kFunctions) {
    if (sqlite3_create_function_v2(db, f.name, f.args, f.flags, time, f.fn, nullptr, nullptr,
                                   nullptr) != SQLITE_OK) {
      return false;
    }
  }
  return true;
}

// A number as Oracle's implicit conversion writes it: no ".0" on whole numbers, no leading 0.
std::string NumberText(double v) {
  char buffer[64];
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e15) {
    std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(v));
    return buffer;
  }
  std::snprintf(buffer, sizeof buffer, "%.15g", v);
  std::string text = buffer;
  if (text.rfind("0.", 0) == 0) text.erase(0, 1);
  if (text.rfind("-0.", 0) == 0) text.erase(1, 1);
  return text;
}

int StoreColumn(sqlite3_stmt* stmt, int column, const SqlOutput& out) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_NULL:
      return SqlStoreOutput(out, nullptr, 0);
    case SQLITE_FLOAT: {
      const std::string text = NumberText(sqlite3_column_double(stmt, column));
      return SqlStoreOutput(out, text.data(), text.size());
    }
    case SQLITE_BLOB: {
      const void* data = sqlite3_column_blob(stmt, column);
      const int bytes = sqlite3_column_bytes(stmt, column);
      return SqlStoreOutput(out, static_cast<const char*>(data),
                            bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    }
    default: {
      const unsigned char* data = sqlite3_column_text(stmt, column);
      const int bytes = sqlite3_column_bytes(stmt, column);
      return SqlStoreOutput(out, reinterpret_cast<const char*>(data),
                            bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    }
  }
}

void ClearOutputs(const SqlOutput* outputs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (outputs[i].data != nullptr && outputs[i].capacity > 0) {
      std::memset(outputs[i].data, 0, outputs[i].capacity);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The runtime.

constexpr const char kCursorTable[] = "temp.dornvik_cursor";

// The connection's settings: the cursor's rows go to a temporary file, not to memory, and the
// page cache holds 40 MiB (a run touches the booking table's pages in date order, which is
// rarely the order in which they are stored). Durability stays as the file has it.
constexpr const char kSessionPragmas[] = "PRAGMA temp_store=FILE; PRAGMA cache_size=-40960";

class SqliteRuntime final : public SqlRuntime {
 public:
  SqliteRuntime(SqliteClock clock, int busyTimeoutMs)
      : clock_(std::move(clock)), busy_ms_(busyTimeoutMs) {}
  ~SqliteRuntime() override { Disconnect(); }
  SqliteRuntime(const SqliteRuntime&) = delete;
  SqliteRuntime& operator=(const SqliteRuntime&) = delete;

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
  struct Cached {
    sqlite3_stmt* stmt = nullptr;
    bool dml = false;
  };
  enum class Dynamic { kNone, kSchema, kStatement, kFailed };
  enum class Cursor { kClosed, kOpen, kFailed };

  void Disconnect();
  int LastError(int rc) const { return MapSqliteError(rc, sqlite3_errmsg(db_)); }
  int Exec(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? kSqlOk : LastError(rc);
  }
  // Reads the clock for the statement about to run and begins the transaction if none is open.
  int Begin();
  int Lookup(const char* oracleText, Cached** cached);
  int Run(Cached& cached);
  int Bind(sqlite3_stmt* stmt, const char* const* inputs, std::size_t count);
  int OpenCursorResult(const char* query);
  int DropCursor();

  sqlite3* db_ = nullptr;
  SqliteClock clock_;
  int busy_ms_;
  StatementTime time_;
  std::unordered_map<std::string, Cached> cache_;

  Dynamic dynamic_ = Dynamic::kNone;
  int dynamic_code_ = 0;
  Cached* dynamic_stmt_ = nullptr;

  Cursor cursor_ = Cursor::kClosed;
  int cursor_code_ = 0;
  bool cursor_table_ = false;
  bool cursor_done_ = false;
  int cursor_columns_ = 0;
  sqlite3_int64 cursor_pos_ = 0;
  sqlite3_stmt* cursor_fetch_ = nullptr;
};

void SqliteRuntime::Disconnect() {
  if (db_ == nullptr) return;
  sqlite3_finalize(cursor_fetch_);
  cursor_fetch_ = nullptr;
  for (auto& entry : cache_) sqlite3_finalize(entry.second.stmt);
  cache_.clear();
  // Work that was not committed is undone (closing would do so as well).
  if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db_);
  db_ = nullptr;
  dynamic_ = Dynamic::kNone;
  dynamic_stmt_ = nullptr;
  cursor_ = Cursor::kClosed;
  cursor_table_ = false;
}

int SqliteRuntime::Connect(const char* connectText) {
  Disconnect();
  const std::string_view text = connectText != nullptr ? connectText : "";
  const std::size_t at = text.rfind('@');
  const std::string_view service = at == std::string_view::npos ? "" : text.substr(at + 1);
  if (service.empty() || service == ":memory:") return kSqlUnknownService;
  std::string path = Cp1252ToUtf8(service);
  // A name that SQLite could take for a URI is meant as a file name.
  if (Upper(path.substr(0, 5)) == "FILE:") path = "./" + path;

  sqlite3* db = nullptr;
  // READWRITE without CREATE: the export never creates its database.
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return kSqlUnknownService;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, busy_ms_);
  // Opening is lazy: reading the schema proves that the file is a readable database.
  rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  int code = kSqlOk;
  if (rc != SQLITE_OK) {
    const int primary = rc & 0xff;
    code =
        primary == SQLITE_BUSY || primary == SQLITE_LOCKED ? kSqlResourceBusy : kSqlUnknownService;
  } else if (sqlite3_db_readonly(db, "main") == 1) {
    code = kOraReadOnly;  // the marks could not be stored
  } else if (sqlite3_exec(db, kSessionPragmas, nullptr, nullptr, nullptr) != SQLITE_OK ||
             !RegisterFunctions(db, &time_)) {
    code = kOraInternal;
  }
  if (code != kSqlOk) {
    sqlite3_close_v2(db);
    return code;
  }
  db_ = db;
  return kSqlOk;
}

int SqliteRuntime::Begin() {
  const std::time_t now = clock_ ? clock_() : std::time(nullptr);
  std::tm local{};
  std::tm utc{};
  if (LocalTime(now, &local) && UtcTime(now, &utc)) {
    const std::int64_t localSeconds =
        DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) * 86400 +
        local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const std::int64_t utcSeconds =
        DaysFromCivil(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday) * 86400 +
        utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec;
    time_.local = local;
    time_.offsetMinutes = static_cast<int>((localSeconds - utcSeconds) / 60);
  }
  if (sqlite3_get_autocommit(db_) == 0) return kSqlOk;
  // IMMEDIATE takes the write lock now, so no other writer can come between our reads and
  // our marks; it waits up to the busy timeout for a writer that holds it.
  return Exec("BEGIN IMMEDIATE");
}

int SqliteRuntime::Lookup(const char* oracleText, Cached** cached) {
  const std::string key = oracleText != nullptr ? oracleText : "";
  auto found = cache_.find(key);
  if (found != cache_.end()) {
    *cached = &found->second;
    return kSqlOk;
  }
  const std::string sql = Translate(key).text;
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size() + 1),
                                    SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return LastError(rc);
  }
  if (stmt == nullptr) return kOraInvalidSql;  // nothing but white space
  Cached& entry = cache_[key];
  entry.stmt = stmt;
  entry.dml = IsDmlText(key);
  *cached = &entry;
  return kSqlOk;
}

int SqliteRuntime::Run(Cached& cached) {
  int rc = sqlite3_step(cached.stmt);
  while (rc == SQLITE_ROW && cached.dml) rc = sqlite3_step(cached.stmt);  // RETURNING rows
  int code = kSqlOk;
  if (rc == SQLITE_DONE) {
    // Oracle's embedded SQL reports an UPDATE or DELETE that found no row as "not found".
    if (cached.dml && sqlite3_changes(db_) == 0) code = kSqlNoData;
  } else if (rc != SQLITE_ROW) {
    code = LastError(rc);
  }
  sqlite3_reset(cached.stmt);
  sqlite3_clear_bindings(cached.stmt);
  return code;
}

int SqliteRuntime::Bind(sqlite3_stmt* stmt, const char* const* inputs, std::size_t count) {
  const int params = sqlite3_bind_parameter_count(stmt);
  if (count < static_cast<std::size_t>(params)) return kOraNotAllBound;
  for (int i = 0; i < params; ++i) {
    const char* value = inputs[i];
    int rc;
    // Oracle knows no empty text: an empty input is NULL and equals nothing.
    if (value == nullptr || value[0] == '\0') {
      rc = sqlite3_bind_null(stmt, i + 1);
    } else {
      rc = sqlite3_bind_text(stmt, i + 1, value, static_cast<int>(std::strlen(value)),
                             SQLITE_STATIC);
    }
    if (rc != SQLITE_OK) {
      sqlite3_clear_bindings(stmt);
      return LastError(rc);
    }
  }
  return kSqlOk;
}

int SqliteRuntime::Prepare(const char* statement) {
  if (db_ == nullptr) return kSqlNotConnected;
  dynamic_ = Dynamic::kNone;
  dynamic_stmt_ = nullptr;
  const std::string_view text = statement != nullptr ? statement : "";
  int code = kSqlOk;
  if (ParseAlterSession(text, &code)) {
    dynamic_ = Dynamic::kSchema;
    dynamic_code_ = code;
    return code;
  }
  Cached* cached = nullptr;
  code = Lookup(statement, &cached);
  if (code != kSqlOk) {
    dynamic_ = Dynamic::kFailed;
    dynamic_code_ = code;
    return code;
  }
  dynamic_ = Dynamic::kStatement;
  dynamic_stmt_ = cached;
  return kSqlOk;
}

int SqliteRuntime::Execute() {
  if (db_ == nullptr) return kSqlNotConnected;
  switch (dynamic_) {
    case Dynamic::kNone:
      return kOraNoStatementParsed;
    case Dynamic::kFailed:
      return dynamic_code_;
    case Dynamic::kSchema:
      return dynamic_code_ != kSqlOk ? dynamic_code_ : Begin();
    case Dynamic::kStatement:
      break;
  }
  const int code = Begin();
  return code != kSqlOk ? code : Run(*dynamic_stmt_);
}

int SqliteRuntime::SelectInto(const char* statement, char* out, std::size_t capacity) {
  if (db_ == nullptr) return kSqlNotConnected;
  Cached* cached = nullptr;
  int code = Lookup(statement, &cached);
  if (code == kSqlOk) code = Begin();
  if (code != kSqlOk) return code;
  sqlite3_stmt* stmt = cached->stmt;
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    if (sqlite3_column_count(stmt) < 1) {
      code = kOraNotInSelectList;
    } else {
      code = StoreColumn(stmt, 0, SqlOutput{out, capacity, false});
      rc = sqlite3_step(stmt);
      if (rc == SQLITE_ROW) {
        code = kOraTooManyRows;
      } else if (rc != SQLITE_DONE) {
        code = LastError(rc);
      }
    }
  } else if (rc == SQLITE_DONE) {
    code = kSqlNoData;  // the host variable keeps its value
  } else {
    code = LastError(rc);
  }
  sqlite3_reset(stmt);
  return code;
}

int SqliteRuntime::DropCursor() {
  sqlite3_finalize(cursor_fetch_);
  cursor_fetch_ = nullptr;
  cursor_ = Cursor::kClosed;
  if (!cursor_table_) return kSqlOk;
  cursor_table_ = false;
  return Exec("DROP TABLE IF EXISTS temp.dornvik_cursor");
}

int SqliteRuntime::OpenCursor(const char* query) {
  if (db_ == nullptr) return kSqlNotConnected;
  DropCursor();  // OPEN of an open cursor starts it anew
  const int code = OpenCursorResult(query);
  if (code != kSqlOk) {
    DropCursor();
    cursor_ = Cursor::kFailed;
    cursor_code_ = code;
  }
  return code;
}

int SqliteRuntime::OpenCursorResult(const char* query) {
  int code = Begin();
  if (code != kSqlOk) return code;
  const Translation tr = Translate(query != nullptr ? query : "");

  // The query's columns, and any error of the query itself (a missing table, say).
  sqlite3_stmt* probe = nullptr;
  int rc = sqlite3_prepare_v2(db_, tr.text.c_str(), static_cast<int>(tr.text.size() + 1), &probe,
                              nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(probe);
    return LastError(rc);
  }
  const int columns = probe != nullptr ? sqlite3_column_count(probe) : 0;
  sqlite3_finalize(probe);
  if (columns == 0) return kOraInvalidSql;

  std::string columnList;
  for (int c = 1; c <= columns; ++c) {
    if (c > 1) columnList += ',';
    columnList += 'c' + std::to_string(c);
  }
  code = Exec("DROP TABLE IF EXISTS temp.dornvik_cursor");
  if (code != kSqlOk) return code;
  const std::string create =
      std::string("CREATE TABLE ") + kCursorTable + "(seq INTEGER PRIMARY KEY," + columnList + ")";
  code = Exec(create.c_str());
  if (code != kSqlOk) return code;
  cursor_table_ = true;

  // Each row is numbered by the query's own order, so that fetching by number gives that
  // order whatever order the rows are stored in.
  std::string insert = std::string("INSERT INTO ") + kCursorTable;
  if (tr.plainSelect && tr.selectEnd != Translation::npos &&
      (tr.orderPos == Translation::npos || tr.orderAtEnd)) {
    const std::size_t bodyEnd = tr.orderPos == Translation::npos ? tr.text.size() : tr.orderPos;
    insert += " SELECT row_number() OVER (";
    if (tr.orderPos != Translation::npos) insert += "ORDER BY " + tr.orderTerms;
    insert += ")," + tr.text.substr(tr.selectEnd, bodyEnd - tr.selectEnd);
  } else {
    // A shape that cannot carry the numbering: the rows are numbered as the query delivers
    // them.
    insert += "(" + columnList + ") " + tr.text;
  }
  code = Exec(insert.c_str());
  if (code != kSqlOk) return code;

  const std::string fetch =
      std::string("SELECT * FROM ") + kCursorTable + " WHERE seq>?1 ORDER BY seq LIMIT 1";
  rc = sqlite3_prepare_v2(db_, fetch.c_str(), -1, &cursor_fetch_, nullptr);
  if (rc != SQLITE_OK) return LastError(rc);
  cursor_ = Cursor::kOpen;
  cursor_columns_ = columns;
  cursor_pos_ = 0;
  cursor_done_ = false;
  return kSqlOk;
}

int SqliteRuntime::Fetch(const SqlOutput* outputs, std::size_t count) {
  if (db_ == nullptr) return kSqlNotConnected;
  if (cursor_ == Cursor::kFailed) return cursor_code_;
  if (cursor_ == Cursor::kClosed) return kSqlInvalidCursor;
  if (count > static_cast<std::size_t>(cursor_columns_)) return kOraNotInSelectList;
  if (cursor_done_) {
    ClearOutputs(outputs, count);
    return kSqlNoData;
  }
  sqlite3_bind_int64(cursor_fetch_, 1, cursor_pos_);
  const int rc = sqlite3_step(cursor_fetch_);
  int code = kSqlOk;
  if (rc == SQLITE_ROW) {
    cursor_pos_ = sqlite3_column_int64(cursor_fetch_, 0);
    for (std::size_t i = 0; i < count; ++i) {
      // The first column that is not delivered cleanly gives the result.
      const int c = StoreColumn(cursor_fetch_, static_cast<int>(i) + 1, outputs[i]);
      if (code == kSqlOk) code = c;
    }
  } else if (rc == SQLITE_DONE) {
    cursor_done_ = true;
    ClearOutputs(outputs, count);
    code = kSqlNoData;
  } else {
    code = LastError(rc);
  }
  sqlite3_reset(cursor_fetch_);
  return code;
}

int SqliteRuntime::CloseCursor() {
  if (db_ == nullptr) return kSqlNotConnected;
  if (cursor_ == Cursor::kClosed) return kSqlInvalidCursor;
  const bool failed = cursor_ == Cursor::kFailed;
  const int code = DropCursor();
  return failed ? kSqlInvalidCursor : code;
}

int SqliteRuntime::Update(const char* statement, const char* const* inputs, std::size_t count) {
  if (db_ == nullptr) return kSqlNotConnected;
  Cached* cached = nullptr;
  int code = Lookup(statement, &cached);
  if (code == kSqlOk) code = Begin();
  if (code == kSqlOk) code = Bind(cached->stmt, inputs, count);
  return code != kSqlOk ? code : Run(*cached);
}

int SqliteRuntime::Delete(const char* statement) { return Update(statement, nullptr, 0); }

int SqliteRuntime::Commit() {
  if (db_ == nullptr) return kSqlNotConnected;
  if (sqlite3_get_autocommit(db_) != 0) return kSqlOk;  // nothing open to commit
  return Exec("COMMIT");
}

}  // namespace

std::unique_ptr<SqlRuntime> NewSqliteRuntime(SqliteClock clock, int busyTimeoutMs) {
  return std::make_unique<SqliteRuntime>(std::move(clock), busyTimeoutMs);
}

std::string SqliteTranslate(const std::string& oracleText) { return Translate(oracleText).text; }
