#include "PgDialect.h"

#include <cctype>
#include <cstdlib>
#include <set>
#include <string_view>

#include "SqlRuntime.h"

namespace {

struct Token {
  enum Kind { kSpace, kWord, kString, kQuotedName, kPlaceholder, kComment, kOther };
  Kind kind;
  std::string text;
};

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' || c == '#';
}

std::string Lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

// Splits a statement into tokens whose texts, joined, give the statement back.
std::vector<Token> Lex(const std::string& s) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  const std::size_t n = s.size();
  auto quoted = [&](char quote) {
    std::size_t j = i + 1;
    while (j < n) {
      if (s[j] == quote) {
        if (j + 1 < n && s[j + 1] == quote) {
          j += 2;
          continue;
        }
        ++j;
        break;
      }
      ++j;
    }
    return j;
  };
  while (i < n) {
    const char c = s[i];
    std::size_t j = i + 1;
    Token::Kind kind = Token::kOther;
    if (std::isspace(static_cast<unsigned char>(c)) != 0) {
      while (j < n && std::isspace(static_cast<unsigned char>(s[j])) != 0) ++j;
      kind = Token::kSpace;
    } else if (IsWordStart(c)) {
      while (j < n && IsWordChar(s[j])) ++j;
      kind = Token::kWord;
    } else if (c == '\'') {
      j = quoted('\'');
      kind = Token::kString;
    } else if (c == '"') {
      j = quoted('"');
      kind = Token::kQuotedName;
    } else if (c == ':' && i + 1 < n && IsWordStart(s[i + 1]) && (i == 0 || s[i - 1] != ':')) {
      j = i + 2;
      while (j < n && IsWordChar(s[j])) ++j;
      kind = Token::kPlaceholder;
    } else if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      while (j < n && s[j] != '\n') ++j;
      kind = Token::kComment;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      const std::size_t end = s.find("*/", i + 2);
      j = end == std::string::npos ? n : end + 2;
      kind = Token::kComment;
    }
    tokens.push_back({kind, s.substr(i, j - i)});
    i = j;
  }
  return tokens;
}

// The format models of the program, in PostgreSQL's spelling.
const char* PgFormatModel(const std::string& oracleLiteral) {
  const std::string model = Lower(oracleLiteral);
  if (model == "'yyyymmddhh24miss'") return "YYYYMMDDHH24MISS";
  if (model == "'dd.mm.yyyy hh24:mi:ss'") return "DD.MM.YYYY HH24:MI:SS";
  return nullptr;
}

using Range = std::pair<std::size_t, std::size_t>;  // [first, last) of the tokens

class Translator {
 public:
  Translator(const std::string& text, bool postgres, bool questionMarks)
      : tokens_(Lex(text)), postgres_(postgres), question_marks_(questionMarks) {}

  TranslatedSql Run() {
    Emit({0, tokens_.size()});
    return std::move(result_);
  }

  // The UPDATE for `rows` input rows at once (see PgTranslateBatchUpdate); false when the
  // statement does not have that shape.
  bool RunBatch(std::size_t rows, BatchUpdateSql* out) {
    const std::size_t n = tokens_.size();
    std::size_t first = NextSolid(0, n);
    if (first >= n || !IsWordToken(first, "update")) return false;
    std::size_t set = n;
    std::size_t where = n;
    int depth = 0;
    for (std::size_t i = first + 1; i < n; ++i) {
      const Token& t = tokens_[i];
      if (IsPunct(i, n, '(')) ++depth;
      if (IsPunct(i, n, ')')) --depth;
      if (IsPunct(i, n, ';')) return false;
      if (t.kind == Token::kPlaceholder && where == n) return false;  // only the WHERE binds
      if (depth != 0 || t.kind != Token::kWord) continue;
      const std::string word = Lower(t.text);
      if (word == "from" || word == "returning") return false;
      if (word == "set" && set == n) set = i;
      if (word == "where" && set < n && where == n) where = i;
    }
    if (set == n || where == n || !ConstantAssignments(set + 1, where)) return false;

    placeholders_as_columns_ = true;
    Emit({where + 1, n});
    placeholders_as_columns_ = false;
    const std::string condition = std::move(result_.text);
    if (columns_.empty()) return false;
    result_ = TranslatedSql();
    Emit({0, where});
    std::string text = std::move(result_.text);
    if (!text.empty() && text.back() != ' ') text += ' ';
    text += "FROM (VALUES ";
    std::size_t marker = 0;
    out->inputs.assign(columns_.begin(), columns_.end());
    for (std::size_t r = 0; r < rows; ++r) {
      text += r == 0 ? "(" : ",(";
      for (std::size_t c = 0; c < columns_.size(); ++c) {
        if (c > 0) text += ',';
        if (question_marks_) {
          text += '?';
        } else {
          text += '$';
          text += std::to_string(++marker);
        }
      }
      text += ')';
    }
    text += ") AS dornvik_keys(";
    bool comma = false;
    for (std::size_t index : columns_) {
      if (comma) text += ',';
      comma = true;
      text += 'b';
      text += std::to_string(index);
    }
    text += ") ";
    text += tokens_[where].text;
    text += condition;
    out->text = std::move(text);
    out->rows = rows;
    return true;
  }

 private:
  std::size_t NextSolid(std::size_t i, std::size_t end) const {
    while (i < end && (tokens_[i].kind == Token::kSpace || tokens_[i].kind == Token::kComment)) {
      ++i;
    }
    return i;
  }

  bool IsPunct(std::size_t i, std::size_t end, char c) const {
    return i < end && tokens_[i].kind == Token::kOther && tokens_[i].text[0] == c;
  }

  bool IsWordToken(std::size_t i, const char* lower) const {
    return tokens_[i].kind == Token::kWord && Lower(tokens_[i].text) == lower;
  }

  // "col = value, ..." with each value a number, a string literal, NULL, SYSDATE or
  // SYSTIMESTAMP: setting a row twice gives what setting it once gives.
  bool ConstantAssignments(std::size_t begin, std::size_t end) const {
    std::size_t i = NextSolid(begin, end);
    for (;;) {
      if (i >= end || tokens_[i].kind != Token::kWord) return false;
      i = NextSolid(i + 1, end);
      if (!IsPunct(i, end, '=') || tokens_[i].text != "=") return false;
      i = NextSolid(i + 1, end);
      if (i >= end) return false;
      const Token& value = tokens_[i];
      const std::string lower = Lower(value.text);
      auto isDigit = [&](std::size_t k) {
        return k < end && tokens_[k].kind == Token::kOther &&
               std::isdigit(static_cast<unsigned char>(tokens_[k].text[0])) != 0;
      };
      const bool number = isDigit(i);
      while (isDigit(i + 1)) ++i;  // the lexer gives a number digit by digit
      const bool constant = value.kind == Token::kString || number ||
                            (value.kind == Token::kWord &&
                             (lower == "null" || lower == "sysdate" || lower == "systimestamp") &&
                             !IsPunct(NextSolid(i + 1, end), end, '('));
      if (!constant) return false;
      i = NextSolid(i + 1, end);
      if (i >= end) return true;
      if (!IsPunct(i, end, ',')) return false;
      i = NextSolid(i + 1, end);
    }
  }

  // The index of the ")" that closes the "(" at `open`, or `end`.
  std::size_t Closing(std::size_t open, std::size_t end) const {
    int depth = 0;
    for (std::size_t i = open; i < end; ++i) {
      if (IsPunct(i, end, '(')) ++depth;
      if (IsPunct(i, end, ')') && --depth == 0) return i;
    }
    return end;
  }

  // The arguments between "(" at `open` and ")" at `close`, split at top-level commas.
  std::vector<Range> Arguments(std::size_t open, std::size_t close) const {
    std::vector<Range> args;
    int depth = 0;
    std::size_t start = open + 1;
    for (std::size_t i = open + 1; i < close; ++i) {
      if (IsPunct(i, close, '(')) ++depth;
      if (IsPunct(i, close, ')')) --depth;
      if (depth == 0 && IsPunct(i, close, ',')) {
        args.push_back({start, i});
        start = i + 1;
      }
    }
    args.push_back({start, close});
    return args;
  }

  // The single string literal that `range` consists of (blanks aside), or null.
  const std::string* Literal(Range range) const {
    const std::size_t i = NextSolid(range.first, range.second);
    if (i >= range.second || tokens_[i].kind != Token::kString) return nullptr;
    if (NextSolid(i + 1, range.second) != range.second) return nullptr;
    return &tokens_[i].text;
  }

  void Placeholder(const std::string& name) {
    std::size_t index = next_sequential_;
    if (name.size() > 2 && (name[1] == 'b' || name[1] == 'B') &&
        name.find_first_not_of("0123456789", 2) == std::string::npos) {
      index = static_cast<std::size_t>(std::strtoul(name.c_str() + 2, nullptr, 10));
    }
    next_sequential_ = index + 1;
    if (placeholders_as_columns_) {
      columns_.insert(index);
      result_.text += "dornvik_keys.b";
      result_.text += std::to_string(index);
      return;
    }
    result_.params.push_back(index);
    if (question_marks_) {
      result_.text += '?';
    } else {
      result_.text += '$';
      result_.text += std::to_string(index + 1);
    }
  }

  // Emits a call (or any word before parentheses) as written, its arguments translated.
  void EmitCall(std::size_t nameToken, std::size_t open, const std::vector<Range>& args) {
    for (std::size_t i = nameToken; i < open; ++i) result_.text += tokens_[i].text;
    result_.text += '(';
    for (std::size_t a = 0; a < args.size(); ++a) {
      if (a > 0) result_.text += ',';
      Emit(args[a]);
    }
    result_.text += ')';
  }

  // Handles a call of a function that needs translating; false when `name` is none of them.
  bool EmitFunction(const std::string& name, const std::vector<Range>& args) {
    const std::string lower = Lower(name);
    if (lower == "to_char" && args.size() == 2) {
      const std::string* model = Literal(args[1]);
      const char* pgModel = model != nullptr ? PgFormatModel(*model) : nullptr;
      if (pgModel == nullptr) return false;
      result_.text += "to_char(";
      Emit(args[0]);
      result_.text += ",'";
      result_.text += pgModel;
      result_.text += "')";
      return true;
    }
    if (lower == "to_date" && args.size() == 2) {
      const std::string* model = Literal(args[1]);
      const char* pgModel = model != nullptr ? PgFormatModel(*model) : nullptr;
      if (pgModel == nullptr) return false;
      // The text is read as UTC and the fields taken back in UTC, so no local daylight-saving
      // gap can move them; an empty text is NULL as in Oracle.
      result_.text += "(to_timestamp(NULLIF(";
      Emit(args[0]);
      result_.text += ",'')||'+00','";
      result_.text += pgModel;
      result_.text += "TZH') AT TIME ZONE 'UTC')";
      return true;
    }
    if (lower == "add_months" && args.size() == 2) {
      // The last day of a month goes to the last day of the target month; any other day keeps
      // its number, cut to the target month's length (which PostgreSQL's interval does).
      const Range d = args[0];
      const Range m = args[1];
      result_.text += "(CASE WHEN date_trunc('day',";
      Emit(d);
      result_.text += ")=date_trunc('month',";
      Emit(d);
      result_.text += ")+interval '1 month'-interval '1 day' THEN date_trunc('month',";
      Emit(d);
      result_.text += ")+make_interval(months=>trunc(";
      Emit(m);
      result_.text += ")::integer+1)-interval '1 day'+(";
      Emit(d);
      result_.text += "-date_trunc('day',";
      Emit(d);
      result_.text += ")) ELSE ";
      Emit(d);
      result_.text += "+make_interval(months=>trunc(";
      Emit(m);
      result_.text += ")::integer) END)";
      return true;
    }
    return false;
  }

  void Emit(Range range) {
    const std::size_t end = range.second;
    for (std::size_t i = range.first; i < end; ++i) {
      const Token& token = tokens_[i];
      if (token.kind == Token::kPlaceholder) {
        Placeholder(token.text);
        continue;
      }
      if (token.kind != Token::kWord) {
        result_.text += token.text;
        continue;
      }
      const std::string lower = Lower(token.text);
      const std::size_t next = NextSolid(i + 1, end);
      // "into :b0[, :b1 ...]" names the outputs of a single-row query: not sent.
      if (lower == "into" && next < end && tokens_[next].kind == Token::kPlaceholder) {
        std::size_t last = next;
        for (;;) {
          const std::size_t comma = NextSolid(last + 1, end);
          if (!IsPunct(comma, end, ',')) break;
          const std::size_t var = NextSolid(comma + 1, end);
          if (var >= end || tokens_[var].kind != Token::kPlaceholder) break;
          last = var;
        }
        i = last;
        continue;
      }
      if (!postgres_) {
        result_.text += token.text;
        continue;
      }
      if (lower == "from" && next < end && tokens_[next].kind == Token::kWord &&
          Lower(tokens_[next].text) == "dual" && !IsPunct(next + 1, end, '.')) {
        i = next;
        continue;
      }
      const bool call = IsPunct(next, end, '(');
      if (lower == "sysdate" && !call) {
        result_.text += "date_trunc('second',statement_timestamp()::timestamp)";
        continue;
      }
      if (lower == "systimestamp" && !call) {
        result_.text += "statement_timestamp()";
        continue;
      }
      if (call) {
        const std::size_t close = Closing(next, end);
        if (close < end) {
          const std::vector<Range> args = Arguments(next, close);
          if (!EmitFunction(token.text, args)) EmitCall(i, next, args);
          i = close;
          continue;
        }
      }
      result_.text += token.text;
    }
  }

  std::vector<Token> tokens_;
  bool postgres_;
  bool question_marks_;
  std::size_t next_sequential_ = 0;
  TranslatedSql result_;
  bool placeholders_as_columns_ = false;
  std::set<std::size_t> columns_;  // the host variables that the WHERE binds
};

bool Contains(const std::string& haystack, const char* needle) {
  return haystack.find(needle) != std::string::npos;
}

}  // namespace

TranslatedSql PgTranslate(const std::string& oracleText, bool questionMarks) {
  return Translator(oracleText, true, questionMarks).Run();
}

bool PgTranslateBatchUpdate(const std::string& oracleText, std::size_t rows, bool questionMarks,
                            BatchUpdateSql* out) {
  if (rows == 0) return false;
  return Translator(oracleText, true, questionMarks).RunBatch(rows, out);
}

TranslatedSql OracleOdbcTranslate(const std::string& oracleText) {
  return Translator(oracleText, false, true).Run();
}

ConnectParts SplitConnectText(const std::string& connectText) {
  ConnectParts parts;
  std::string credentials = connectText;
  const std::size_t at = connectText.rfind('@');
  if (at != std::string::npos) {
    credentials = connectText.substr(0, at);
    parts.service = connectText.substr(at + 1);
  }
  const std::size_t slash = credentials.find('/');
  parts.user = credentials.substr(0, slash);
  if (slash != std::string::npos) parts.password = credentials.substr(slash + 1);
  return parts;
}

bool PgParseSchemaSwitch(const std::string& statement, std::string* schema) {
  std::vector<Token> tokens;
  for (Token& token : Lex(statement)) {
    if (token.kind != Token::kSpace && token.kind != Token::kComment) {
      tokens.push_back(std::move(token));
    }
  }
  static const char* const kWords[] = {"alter", "session", "set", "current_schema"};
  if (tokens.size() != 6) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if (tokens[i].kind != Token::kWord || Lower(tokens[i].text) != kWords[i]) return false;
  }
  if (tokens[4].text != "=") return false;
  const Token& name = tokens[5];
  if (name.kind == Token::kWord) {
    *schema = Lower(name.text);
    return true;
  }
  if (name.kind == Token::kQuotedName && name.text.size() >= 2 && name.text.back() == '"') {
    std::string inner;
    for (std::size_t i = 1; i + 1 < name.text.size(); ++i) {
      inner += name.text[i];
      if (name.text[i] == '"') ++i;  // a doubled quote stands for one
    }
    *schema = inner;
    return true;
  }
  return false;
}

std::string PgQuoteIdent(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

// PostgreSQL's SQLSTATE -> Oracle's code. The README's error table lists the same.
int PgSqlcodeFromState(const std::string& sqlstate) {
  struct Entry {
    const char* state;
    int code;
  };
  static const Entry kTable[] = {
      {"42P01", kSqlTableMissing},           // undefined_table: ORA-00942
      {"3F000", kSqlTableMissing},           // invalid_schema_name in a statement: ORA-00942
      {"42703", -904},                       // undefined_column: ORA-00904 invalid identifier
      {"42883", -904},                       // undefined_function: ORA-00904
      {"42601", -900},                       // syntax_error: ORA-00900 invalid SQL statement
      {"42501", -1031},                      // insufficient_privilege: ORA-01031
      {"23505", -1},                         // unique_violation: ORA-00001
      {"23502", -1400},                      // not_null_violation: ORA-01400
      {"23503", -2291},                      // foreign_key_violation: ORA-02291
      {"22001", -12899},                     // string_data_right_truncation: ORA-12899
      {"22003", -1438},                      // numeric_value_out_of_range: ORA-01438
      {"22P02", -1722},                      // invalid_text_representation: ORA-01722
      {"22007", -1861},                      // invalid_datetime_format: ORA-01861
      {"22008", -1861},                      // datetime_field_overflow: ORA-01861
      {"22012", -1476},                      // division_by_zero: ORA-01476
      {"22P05", -29275},                     // untranslatable_character: ORA-29275
      {"24000", kSqlInvalidCursor},          // invalid_cursor_state: ORA-01001
      {"34000", kSqlInvalidCursor},          // invalid_cursor_name: ORA-01001
      {"25P02", kSqlTransactionRolledBack},  // in_failed_sql_transaction: ORA-02091
      {"40001", -8177},                      // serialization_failure: ORA-08177
      {"40P01", -60},                        // deadlock_detected: ORA-00060
      {"55P03", kSqlResourceBusy},           // lock_not_available: ORA-00054
      {"57014", -1013},                      // query_canceled: ORA-01013
      {"57P01", kSqlEndOfFile},              // admin_shutdown: ORA-03113
      {"57P02", kSqlEndOfFile},              // crash_shutdown: ORA-03113
      {"57P03", -1033},                      // cannot_connect_now: ORA-01033
      {"53300", -18},                        // too_many_connections: ORA-00018
      {"28P01", kSqlLogonDenied},            // invalid_password: ORA-01017
      {"28000", kSqlLogonDenied},            // invalid_authorization_specification
      {"3D000", -12514},                     // invalid_catalog_name: ORA-12514
  };
  for (const Entry& entry : kTable) {
    if (sqlstate == entry.state) return entry.code;
  }
  if (sqlstate.compare(0, 2, "08") == 0) return kSqlEndOfFile;  // connection_exception
  return kSqlOtherError;
}

// The messages are libpq's own (English, as the program sets no locale) and the server's (the
// test cluster sets lc_messages to C). `passwordSent` covers a server speaking another language.
int PgSqlcodeFromConnectError(const std::string& message, bool passwordSent) {
  const std::string m = Lower(message);
  if (Contains(m, "definition of service") || Contains(m, "service file") ||
      Contains(m, "could not translate host name") || Contains(m, "invalid port number") ||
      Contains(m, "for connection option") || Contains(m, "invalid connection option") ||
      Contains(m, "missing \"=\"")) {
    return kSqlUnknownService;
  }
  if (Contains(m, "database") && Contains(m, "does not exist")) return -12514;
  if (Contains(m, "connection refused") || Contains(m, "no such file or directory")) {
    return kSqlNoListener;
  }
  if (Contains(m, "timeout expired") || Contains(m, "timed out")) return -12170;
  if (Contains(m, "no route to host") || Contains(m, "network is unreachable")) return -12543;
  if (Contains(m, "not permitted to log in")) return -1045;
  if (Contains(m, "authentication failed") || Contains(m, "no password supplied") ||
      (Contains(m, "role") && Contains(m, "does not exist")) || Contains(m, "pg_hba.conf")) {
    return kSqlLogonDenied;
  }
  if (Contains(m, "starting up") || Contains(m, "shutting down") || Contains(m, "recovery mode")) {
    return -1033;
  }
  if (Contains(m, "too many clients") || Contains(m, "connection slots")) return -18;
  if (Contains(m, "server closed the connection")) return kSqlEndOfFile;
  if (passwordSent) return kSqlLogonDenied;
  return -12560;  // ORA-12560: protocol adapter error, for any other failure to reach the server
}
