// The texts of the program are single-byte (Windows-1252), so the ANSI entry points serve.
#if defined(_WIN32)
#undef UNICODE
#undef _UNICODE
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "OdbcEngine.h"
#include "PgDialect.h"
#include "SqlRuntime.h"

namespace {

enum class Dbms { kOracle, kPostgres, kOther };

struct Diagnostic {
  std::string state;
  long native = 0;
  std::string message;
};

Diagnostic Diagnose(SQLSMALLINT type, SQLHANDLE handle) {
  Diagnostic diag;
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[1024] = {};
  SQLSMALLINT length = 0;
  for (SQLSMALLINT record = 1;; ++record) {
    const SQLRETURN rc = SQLGetDiagRec(type, handle, record, state, &native, message,
                                       static_cast<SQLSMALLINT>(sizeof message), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    if (record == 1) {
      diag.state = reinterpret_cast<char*>(state);
      diag.native = native;
    }
    if (!diag.message.empty()) diag.message += '\n';
    diag.message += reinterpret_cast<char*>(message);
  }
  return diag;
}

// "ORA-nnnnn" in a message: the Oracle error that the driver passes on.
int OracleNumberIn(const std::string& message) {
  const std::size_t at = message.find("ORA-");
  if (at == std::string::npos) return 0;
  return std::atoi(message.c_str() + at + 4);
}

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLCHAR* Text(const std::string& text) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

// Owns one statement handle.
class Statement {
 public:
  Statement() = default;
  ~Statement() { Reset(); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Allocate(SQLHDBC dbc) {
    Reset();
    return Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &handle_));
  }
  void Reset() {
    if (handle_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle_);
    handle_ = SQL_NULL_HSTMT;
  }
  SQLHSTMT get() const { return handle_; }
  // Moves the handle to `other`.
  void MoveTo(Statement* other) {
    other->Reset();
    other->handle_ = handle_;
    handle_ = SQL_NULL_HSTMT;
  }

 private:
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

class OdbcRuntime final : public SqlRuntime {
 public:
  explicit OdbcRuntime(const OdbcRuntimeOptions& options)
      : fetch_("FETCH FORWARD " + std::to_string(options.fetchBatch > 0 ? options.fetchBatch : 1) +
               " FROM dornvik_cursor"),
        mark_batch_(options.markBatch > 0 ? options.markBatch : 1),
        param_arrays_(options.parameterArrays) {}
  ~OdbcRuntime() override { Disconnect(); }
  OdbcRuntime(const OdbcRuntime&) = delete;
  OdbcRuntime& operator=(const OdbcRuntime&) = delete;

  int Connect(const char* connectText) override {
    Disconnect();
    const ConnectParts parts = SplitConnectText(connectText);
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_)) ||
        !Succeeded(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                                 reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
        !Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
      Disconnect();
      return kSqlOtherError;
    }
    const SQLRETURN rc = SQLConnect(dbc_, Text(parts.service), SQL_NTS, Text(parts.user), SQL_NTS,
                                    Text(parts.password), SQL_NTS);
    if (!Succeeded(rc)) {
      const int code = ConnectError(Diagnose(SQL_HANDLE_DBC, dbc_));
      Disconnect();
      return code;
    }
    connected_ = true;
    attached_ = true;
    SQLCHAR name[128] = {};
    SQLSMALLINT length = 0;
    SQLGetInfo(dbc_, SQL_DBMS_NAME, name, static_cast<SQLSMALLINT>(sizeof name), &length);
    const std::string dbms = reinterpret_cast<char*>(name);
    dbms_ = dbms.find("Oracle") != std::string::npos       ? Dbms::kOracle
            : dbms.find("PostgreSQL") != std::string::npos ? Dbms::kPostgres
                                                           : Dbms::kOther;
    // The program's texts are Windows-1252; the server converts them. Set before autocommit
    // ends, so that no rollback can undo it.
    if (dbms_ == Dbms::kPostgres && !Direct("SET client_encoding TO 'WIN1252'")) {
      const int code = StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
      Disconnect();
      return code;
    }
    if (!Succeeded(SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                     reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
      const int code = StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
      Disconnect();
      return code;
    }
    return kSqlOk;
  }

  int Prepare(const char* statement) override {
    if (!connected_) return kSqlNotConnected;
    prepared_ = statement;
    has_prepared_ = true;
    return kSqlOk;
  }

  int Execute() override {
    if (!connected_) return kSqlNotConnected;
    if (!has_prepared_) return kSqlNoStatement;
    const int flushed = FlushMarks();
    if (!connected_) return flushed;
    std::string schema;
    if (dbms_ == Dbms::kPostgres && PgParseSchemaSwitch(prepared_, &schema)) {
      Statement found;
      int code =
          Run("SELECT 1 FROM pg_catalog.pg_namespace WHERE nspname = ?", {schema.c_str()}, &found);
      if (code != kSqlOk) return code;
      const SQLRETURN rc = SQLFetch(found.get());
      if (rc == SQL_NO_DATA) return kSqlUnknownUser;
      if (!Succeeded(rc)) return StatementError(Diagnose(SQL_HANDLE_STMT, found.get()));
      Statement set;
      code = Run("SET search_path TO " + PgQuoteIdent(schema), {}, &set);
      if (code == kSqlOk) dirty_ = true;
      return code;
    }
    const TranslatedSql sql = Translate(prepared_);
    if (!sql.params.empty()) return kSqlNotAllBound;
    Statement statement;
    const int code = Run(sql.text, {}, &statement);
    if (code == kSqlOk) dirty_ = true;
    return flushed != kSqlOk ? flushed : code;
  }

  int SelectInto(const char* statement, char* out, std::size_t capacity) override {
    if (!connected_) return kSqlNotConnected;
    const int flushed = FlushMarks();
    if (!connected_) return flushed;
    const TranslatedSql sql = Translate(statement);
    if (!sql.params.empty()) return kSqlNotAllBound;
    Statement query;
    int code = Run(sql.text, {}, &query);
    if (code != kSqlOk) return code;
    SQLRETURN rc = SQLFetch(query.get());
    if (rc == SQL_NO_DATA) return kSqlNoData;
    if (!Succeeded(rc)) return StatementError(Diagnose(SQL_HANDLE_STMT, query.get()));
    std::vector<char> value(capacity + 1);
    const SqlOutput staged{value.data(), capacity, false};
    code = Column(query.get(), 1, staged);
    if (code != kSqlOk && code != kSqlNullFetched && code != kSqlTruncated) return code;
    rc = SQLFetch(query.get());
    if (Succeeded(rc)) return kSqlTooManyRows;
    if (capacity > 0) std::memcpy(out, value.data(), capacity);
    return flushed != kSqlOk ? flushed : code;
  }

  int OpenCursor(const char* query) override {
    if (!connected_) return kSqlNotConnected;
    const int flushed = FlushMarks();
    if (!connected_) return flushed;
    if (cursor_ != Cursor::kClosed) CloseCursor();
    const TranslatedSql sql = Translate(query);
    cursor_ = Cursor::kFailed;
    if (!sql.params.empty()) return kSqlNotAllBound;
    exhausted_ = false;
    batch_rows_ = 0;
    int code = kSqlOk;
    if (dbms_ == Dbms::kPostgres) {
      // A server-side cursor keeps the snapshot of its opening and is read in batches.
      Statement declare;
      code = Run("DECLARE dornvik_cursor NO SCROLL CURSOR FOR " + sql.text, {}, &declare);
      if (code == kSqlOk) dirty_ = true;
    } else {
      code = Run(sql.text, {}, &rows_);
    }
    if (code == kSqlOk) cursor_ = Cursor::kOpen;
    return code;
  }

  int Fetch(const SqlOutput* outputs, std::size_t count) override {
    const int code = FetchRow(outputs, count);
    // Without a row the variables come back empty.
    if (code != kSqlOk && code != kSqlNullFetched && code != kSqlTruncated) {
      for (std::size_t i = 0; i < count; ++i) {
        if (outputs[i].data != nullptr) std::memset(outputs[i].data, 0, outputs[i].capacity);
      }
    }
    return code;
  }

  int FetchRow(const SqlOutput* outputs, std::size_t count) {
    if (!connected_) return kSqlNotConnected;
    if (cursor_ != Cursor::kOpen) return kSqlInvalidCursor;
    for (;;) {
      if (exhausted_) return kSqlNoData;
      if (dbms_ == Dbms::kPostgres && rows_.get() == SQL_NULL_HSTMT) {
        const int code = Run(fetch_, {}, &rows_);
        if (code != kSqlOk) {
          cursor_ = Cursor::kFailed;
          return code;
        }
        batch_rows_ = 0;
      }
      const SQLRETURN rc = SQLFetch(rows_.get());
      if (rc == SQL_NO_DATA) {
        rows_.Reset();
        // An empty batch, or a driver-side result, is the end.
        if (dbms_ != Dbms::kPostgres || batch_rows_ == 0) exhausted_ = true;
        continue;
      }
      if (!Succeeded(rc)) {
        const int code = StatementError(Diagnose(SQL_HANDLE_STMT, rows_.get()));
        rows_.Reset();
        cursor_ = Cursor::kFailed;
        return code;
      }
      ++batch_rows_;
      break;
    }
    SQLSMALLINT columns = 0;
    SQLNumResultCols(rows_.get(), &columns);
    if (static_cast<std::size_t>(columns) < count) return kSqlNotInSelectList;
    int result = kSqlOk;
    for (std::size_t i = 0; i < count; ++i) {
      const int code = Column(rows_.get(), static_cast<SQLUSMALLINT>(i + 1), outputs[i]);
      if (result == kSqlOk) result = code;
    }
    return result;
  }

  int CloseCursor() override {
    if (!connected_) return kSqlNotConnected;
    const int flushed = FlushMarks();
    if (!connected_) return flushed;
    rows_.Reset();
    const Cursor was = cursor_;
    cursor_ = Cursor::kClosed;
    int code = kSqlInvalidCursor;
    if (was != Cursor::kClosed && dbms_ != Dbms::kPostgres) {
      code = was == Cursor::kOpen ? kSqlOk : kSqlInvalidCursor;
    } else if (was != Cursor::kClosed) {
      Statement close;
      code = Run("CLOSE dornvik_cursor", {}, &close);
    }
    return flushed != kSqlOk ? flushed : code;
  }

  int Update(const char* statement, const char* const* inputs, std::size_t count) override {
    if (!connected_) return kSqlNotConnected;
    const std::string text = statement != nullptr ? statement : "";
    if (mark_batch_ > 1 && Batchable(text)) {
      // Queued: the mark goes to the server with its batch.
      for (std::size_t index : marks_.inputs) {
        if (index >= count) return kSqlNotAllBound;
      }
      for (std::size_t index : marks_.inputs) marks_.values.emplace_back(inputs[index]);
      ++marks_.rows;
      return marks_.rows >= marks_.capacity ? FlushMarks() : kSqlOk;
    }
    const int flushed = FlushMarks();
    if (!connected_) return flushed;
    if (update_text_ != text || !has_update_) {
      update_sql_ = Translate(text);
      update_text_ = text;
      has_update_ = true;
    }
    std::vector<const char*> values;
    for (std::size_t index : update_sql_.params) {
      if (index >= count) return kSqlNotAllBound;
      values.push_back(inputs[index]);
    }
    return Change(update_sql_.text, values);
  }

  int Delete(const char* statement) override {
    if (!connected_) return kSqlNotConnected;
    const int flushed = FlushMarks();
    if (!connected_) return flushed;
    const TranslatedSql sql = Translate(statement);
    if (!sql.params.empty()) return kSqlNotAllBound;
    const int code = Change(sql.text, {});
    return flushed != kSqlOk ? flushed : code;
  }

  int Commit() override {
    if (!connected_) return kSqlNotConnected;
    // Queued marks belong to this transaction. A mark that fails here is left out, as it
    // would have been had it run at once; a lost transaction is reported below.
    FlushMarks();
    if (!connected_) return kSqlEndOfFile;
    rows_.Reset();
    cursor_ = Cursor::kClosed;
    const bool lost = transaction_lost_;
    savepoint_ = false;
    dirty_ = false;
    transaction_lost_ = false;
    if (lost) {
      SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      return kSqlTransactionRolledBack;
    }
    if (!Succeeded(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT))) {
      const int code = StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
      if (connected_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      return code;
    }
    return kSqlOk;
  }

 private:
  enum class Cursor { kClosed, kOpen, kFailed };

  static constexpr int kSqlNotAllBound = -1008;  // ORA-01008
  // At most this many parameters in one statement (PostgreSQL's limit).
  static constexpr std::size_t kMaxParameters = 65535;

  // The marks waiting to be sent: one statement text, its rows' values.
  struct Marks {
    std::string statement;  // the program's text
    bool batchable = false;
    bool arrays = false;              // sent with parameter arrays, else as one UPDATE for all rows
    BatchUpdateSql batch;             // (not arrays) the statement for `capacity` rows
    TranslatedSql single;             // the statement for one row
    std::vector<std::size_t> inputs;  // the host variables of one row, in marker order
    std::size_t capacity = 0;         // rows per batch
    std::vector<std::string> values;  // row after row, inputs.size() each
    std::size_t rows = 0;
  };

  // True when `text` can wait in a batch; sends the marks of another statement first.
  bool Batchable(const std::string& text) {
    if (marks_.statement == text) return marks_.batchable;
    FlushMarks();
    if (!connected_) return false;
    marks_ = Marks();
    marks_.statement = text;
    marks_.single = Translate(text);
    marks_.inputs = marks_.single.params;
    const std::size_t perRow = marks_.inputs.size();
    if (perRow == 0) return false;
    marks_.capacity = mark_batch_;
    if (marks_.capacity * perRow > kMaxParameters) marks_.capacity = kMaxParameters / perRow;
    if (marks_.capacity < 2) return false;
    if (dbms_ == Dbms::kPostgres && !param_arrays_) {
      // One UPDATE joined with the rows' values; the same translation as the libpq engine's.
      marks_.batchable = PgTranslateBatchUpdate(text, marks_.capacity, true, &marks_.batch);
      if (marks_.batchable) marks_.inputs = marks_.batch.inputs;
    } else {
      // The statement text as it is, run for an array of parameter rows; only what changes a
      // row the same however often it runs may run out of order this way.
      BatchUpdateSql shape;
      marks_.batchable = PgTranslateBatchUpdate(text, 2, true, &shape);
      marks_.arrays = true;
    }
    return marks_.batchable;
  }

  // Sends the queued marks. Returns 0, or the code of the first mark that failed: a failed
  // batch runs its marks again one by one, each undone alone if it fails, so that every other
  // mark stays. "No row found" is not reported for queued marks.
  int FlushMarks() {
    if (marks_.rows == 0 || !connected_) return kSqlOk;
    std::vector<std::size_t> again;  // rows to run one by one
    int code = marks_.arrays ? SendArrays(&again) : SendValues(&again);
    if (connected_ && !transaction_lost_) {
      for (std::size_t r : again) {
        std::vector<const char*> values;
        for (std::size_t index : marks_.single.params) {
          std::size_t c = 0;
          while (marks_.inputs[c] != index) ++c;
          values.push_back(marks_.values[r * marks_.inputs.size() + c].c_str());
        }
        const int one = Change(marks_.single.text, values);
        if (code == kSqlOk && one != kSqlOk && one != kSqlNoData) code = one;
        if (!connected_) break;
      }
    }
    marks_.values.clear();
    marks_.rows = 0;
    return connected_ ? code : kSqlEndOfFile;
  }

  // The batch as one UPDATE; on failure every row is to run again.
  int SendValues(std::vector<std::size_t>* again) {
    std::vector<const char*> params;
    const std::size_t perRow = marks_.inputs.size();
    for (std::size_t r = 0; r < marks_.capacity; ++r) {
      // A short batch repeats its last row; a row marked twice is marked once.
      const std::size_t from = (r < marks_.rows ? r : marks_.rows - 1) * perRow;
      for (std::size_t c = 0; c < perRow; ++c) params.push_back(marks_.values[from + c].c_str());
    }
    Statement statement;
    const int code = Run(marks_.batch.text, params, &statement);
    if (code == kSqlOk) {
      dirty_ = true;
      return kSqlOk;
    }
    for (std::size_t r = 0; r < marks_.rows; ++r) again->push_back(r);
    return kSqlOk;  // the rows' own codes tell
  }

  // The batch with parameter arrays, column-wise. Rows that did not succeed run again; on
  // PostgreSQL a failure undoes them all, so they all run again.
  int SendArrays(std::vector<std::size_t>* again) {
    const std::size_t perRow = marks_.inputs.size();
    const std::size_t rows = marks_.rows;
    std::vector<std::vector<char>> buffers(perRow);
    std::vector<std::vector<SQLLEN>> lengths(perRow, std::vector<SQLLEN>(rows));
    std::vector<std::size_t> widths(perRow, 1);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < perRow; ++c) {
        widths[c] = std::max(widths[c], marks_.values[r * perRow + c].size() + 1);
      }
    }
    std::vector<SQLUSMALLINT> status(rows, SQL_PARAM_UNUSED);
    SQLULEN processed = 0;
    if (dbms_ == Dbms::kPostgres && (!savepoint_ || dirty_) && !MoveSavepoint()) {
      return StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
    }
    Statement statement;
    if (!statement.Allocate(dbc_)) return StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
    SQLHSTMT h = statement.get();
    SQLSetStmtAttr(h, SQL_ATTR_PARAM_BIND_TYPE,
                   reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0);
    SQLSetStmtAttr(h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0);
    SQLSetStmtAttr(h, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0);
    SQLSetStmtAttr(h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
    for (std::size_t c = 0; c < perRow; ++c) {
      buffers[c].assign(widths[c] * rows, '\0');
      for (std::size_t r = 0; r < rows; ++r) {
        const std::string& value = marks_.values[r * perRow + c];
        std::memcpy(buffers[c].data() + r * widths[c], value.data(), value.size());
        // An empty text is NULL.
        lengths[c][r] = value.empty() ? SQL_NULL_DATA : static_cast<SQLLEN>(value.size());
      }
      SQLBindParameter(h, static_cast<SQLUSMALLINT>(c + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                       SQL_VARCHAR, widths[c] - 1, 0, buffers[c].data(),
                       static_cast<SQLLEN>(widths[c]), lengths[c].data());
    }
    const SQLRETURN rc = SQLExecDirect(h, Text(marks_.single.text), SQL_NTS);
    const bool failed = !(Succeeded(rc) || rc == SQL_NO_DATA);
    if (dbms_ == Dbms::kPostgres) {
      if (!failed) {
        dirty_ = true;
        return kSqlOk;
      }
      if (!Direct("ROLLBACK TO SAVEPOINT dornvik_stmt")) {
        transaction_lost_ = true;
        return StatementError(Diagnose(SQL_HANDLE_STMT, h));
      }
      for (std::size_t r = 0; r < rows; ++r) again->push_back(r);
      return kSqlOk;
    }
    for (std::size_t r = 0; r < rows; ++r) {
      if (status[r] != SQL_PARAM_SUCCESS && status[r] != SQL_PARAM_SUCCESS_WITH_INFO) {
        again->push_back(r);
      }
    }
    if (failed && again->empty()) return StatementError(Diagnose(SQL_HANDLE_STMT, h));
    return kSqlOk;
  }

  TranslatedSql Translate(const std::string& text) const {
    return dbms_ == Dbms::kPostgres ? PgTranslate(text, true) : OracleOdbcTranslate(text);
  }

  int ConnectError(const Diagnostic& diag) const {
    if (const int ora = OracleNumberIn(diag.message); ora > 0) return -ora;
    if (diag.state == "IM002") return kSqlUnknownService;  // no such data source
    if (diag.state == "28000" || diag.state == "28P01") return kSqlLogonDenied;
    return PgSqlcodeFromConnectError(diag.message, false);
  }

  // The code of a failed statement; a lost PostgreSQL connection is dropped.
  int StatementError(const Diagnostic& diag) {
    if (dbms_ == Dbms::kOracle) {
      if (diag.native != 0) return static_cast<int>(-diag.native);
      if (const int ora = OracleNumberIn(diag.message); ora > 0) return -ora;
    }
    SQLUINTEGER dead = SQL_CD_FALSE;
    SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    if (dead == SQL_CD_TRUE || diag.state.compare(0, 2, "08") == 0 ||
        diag.message.find("server closed the connection") != std::string::npos) {
      if (dbms_ != Dbms::kOracle) {
        // Later calls report that there is no session; the handles go at the next connect.
        rows_.Reset();
        connected_ = false;
      }
      return kSqlEndOfFile;
    }
    if (dbms_ == Dbms::kOther && diag.native != 0) return static_cast<int>(-diag.native);
    return PgSqlcodeFromState(diag.state);
  }

  bool Direct(const char* text) {
    Statement statement;
    return statement.Allocate(dbc_) &&
           Succeeded(SQLExecDirect(statement.get(), Text(text), SQL_NTS));
  }

  // Runs one statement with text inputs (an empty text is NULL), leaving its result in `out`.
  // On PostgreSQL it runs behind a savepoint, and a failure undoes it alone.
  // Sets the statement savepoint behind the changes that must stay.
  bool MoveSavepoint() {
    if (!Direct(savepoint_ ? "RELEASE SAVEPOINT dornvik_stmt; SAVEPOINT dornvik_stmt"
                           : "SAVEPOINT dornvik_stmt")) {
      transaction_lost_ = true;
      return false;
    }
    savepoint_ = true;
    dirty_ = false;
    return true;
  }

  int Run(const std::string& text, const std::vector<const char*>& inputs, Statement* out) {
    if (dbms_ == Dbms::kPostgres && (!savepoint_ || dirty_) && !MoveSavepoint()) {
      return StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
    }
    Statement statement;
    if (!statement.Allocate(dbc_)) return StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
    std::vector<SQLLEN> lengths(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const std::size_t length = std::strlen(inputs[i]);
      lengths[i] = length == 0 ? SQL_NULL_DATA : static_cast<SQLLEN>(length);
      SQLBindParameter(statement.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                       SQL_C_CHAR, SQL_VARCHAR, length == 0 ? 1 : length, 0,
                       const_cast<char*>(inputs[i]), static_cast<SQLLEN>(length + 1), &lengths[i]);
    }
    const SQLRETURN rc = SQLExecDirect(statement.get(), Text(text), SQL_NTS);
    // SQL_NO_DATA: an UPDATE or DELETE that found no row, which is no error.
    if (Succeeded(rc) || rc == SQL_NO_DATA) {
      statement.MoveTo(out);
      return kSqlOk;
    }
    const int code = StatementError(Diagnose(SQL_HANDLE_STMT, statement.get()));
    if (connected_ && dbms_ == Dbms::kPostgres && !Direct("ROLLBACK TO SAVEPOINT dornvik_stmt")) {
      transaction_lost_ = true;  // the commit has to report it
    }
    return code;
  }

  // An UPDATE or DELETE. One that finds no row answers "no data", as Oracle's embedded
  // statements do.
  int Change(const std::string& text, const std::vector<const char*>& inputs) {
    Statement statement;
    const int code = Run(text, inputs, &statement);
    if (code != kSqlOk) return code;
    SQLLEN rows = 0;
    if (statement.get() != SQL_NULL_HSTMT && Succeeded(SQLRowCount(statement.get(), &rows)) &&
        rows == 0) {
      return kSqlNoData;
    }
    dirty_ = true;
    return code;
  }

  // Reads column `column` of the current row as text into `output`, with Oracle's rules.
  int Column(SQLHSTMT statement, SQLUSMALLINT column, const SqlOutput& output) {
    std::vector<char> buffer(output.capacity + 1);
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(statement, column, SQL_C_CHAR, buffer.data(),
                                    static_cast<SQLLEN>(buffer.size()), &indicator);
    if (rc == SQL_NO_DATA) return SqlStoreOutput(output, buffer.data(), 0);
    if (!Succeeded(rc)) {
      const Diagnostic diag = Diagnose(SQL_HANDLE_STMT, statement);
      return diag.state == "07009" ? kSqlNotInSelectList : StatementError(diag);
    }
    if (indicator == SQL_NULL_DATA) return SqlStoreOutput(output, nullptr, 0);
    std::size_t length = buffer.size() - 1;  // cut by the driver, length unknown
    if (indicator != SQL_NO_TOTAL && indicator >= 0 &&
        static_cast<std::size_t>(indicator) < length) {
      length = static_cast<std::size_t>(indicator);
    }
    return SqlStoreOutput(output, buffer.data(), length);
  }

  void Disconnect() {
    rows_.Reset();
    marks_ = Marks();
    if (dbc_ != SQL_NULL_HDBC) {
      if (attached_) {
        // Work that was not committed is undone.
        SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
        SQLDisconnect(dbc_);
      }
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
      dbc_ = SQL_NULL_HDBC;
    }
    if (env_ != SQL_NULL_HENV) {
      SQLFreeHandle(SQL_HANDLE_ENV, env_);
      env_ = SQL_NULL_HENV;
    }
    connected_ = false;
    attached_ = false;
    cursor_ = Cursor::kClosed;
    has_prepared_ = false;
    savepoint_ = false;
    dirty_ = false;
    transaction_lost_ = false;
  }

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;  // the session can be used
  bool attached_ = false;   // the handle holds a connection to be closed
  Dbms dbms_ = Dbms::kOther;
  std::string prepared_;
  bool has_prepared_ = false;
  bool savepoint_ = false;         // PostgreSQL: the statement savepoint is set
  bool dirty_ = false;             // ... and lies before changes that must stay
  bool transaction_lost_ = false;  // an error undid the whole transaction
  Cursor cursor_ = Cursor::kClosed;
  Statement rows_;  // the cursor's result (on PostgreSQL: its current batch)
  bool exhausted_ = false;
  std::size_t batch_rows_ = 0;
  const std::string fetch_;
  const std::size_t mark_batch_;
  const bool param_arrays_;
  Marks marks_;
  std::string update_text_;  // the last UPDATE run at once, translated
  TranslatedSql update_sql_;
  bool has_update_ = false;
};

}  // namespace

std::unique_ptr<SqlRuntime> NewOdbcRuntime(const OdbcRuntimeOptions& options) {
  return std::make_unique<OdbcRuntime>(options);
}
