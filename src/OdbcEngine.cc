// The texts of the program are single-byte (Windows-1252), so the ANSI entry points serve.
#if defined(_WIN32)
#undef UNICODE
#undef _UNICODE
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

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
  OdbcRuntime() = default;
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
    return code;
  }

  int SelectInto(const char* statement, char* out, std::size_t capacity) override {
    if (!connected_) return kSqlNotConnected;
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
    return code;
  }

  int OpenCursor(const char* query) override {
    if (!connected_) return kSqlNotConnected;
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
        const int code = Run("FETCH FORWARD 1000 FROM dornvik_cursor", {}, &rows_);
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
    rows_.Reset();
    const Cursor was = cursor_;
    cursor_ = Cursor::kClosed;
    if (was == Cursor::kClosed) return kSqlInvalidCursor;
    if (dbms_ != Dbms::kPostgres) return was == Cursor::kOpen ? kSqlOk : kSqlInvalidCursor;
    Statement close;
    return Run("CLOSE dornvik_cursor", {}, &close);
  }

  int Update(const char* statement, const char* const* inputs, std::size_t count) override {
    if (!connected_) return kSqlNotConnected;
    const TranslatedSql sql = Translate(statement);
    std::vector<const char*> values;
    for (std::size_t index : sql.params) {
      if (index >= count) return kSqlNotAllBound;
      values.push_back(inputs[index]);
    }
    return Change(sql.text, values);
  }

  int Delete(const char* statement) override {
    if (!connected_) return kSqlNotConnected;
    const TranslatedSql sql = Translate(statement);
    if (!sql.params.empty()) return kSqlNotAllBound;
    return Change(sql.text, {});
  }

  int Commit() override {
    if (!connected_) return kSqlNotConnected;
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
  int Run(const std::string& text, const std::vector<const char*>& inputs, Statement* out) {
    if (dbms_ == Dbms::kPostgres && (!savepoint_ || dirty_)) {
      if ((savepoint_ && !Direct("RELEASE SAVEPOINT dornvik_stmt")) ||
          !Direct("SAVEPOINT dornvik_stmt")) {
        transaction_lost_ = true;
        return StatementError(Diagnose(SQL_HANDLE_DBC, dbc_));
      }
      savepoint_ = true;
      dirty_ = false;
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
};

}  // namespace

std::unique_ptr<SqlRuntime> NewOdbcRuntime() { return std::make_unique<OdbcRuntime>(); }
