#include "PgEngine.h"

#include <libpq-fe.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "PgDialect.h"
#include "SqlRuntime.h"

namespace {

constexpr const char* kCursorName = "dornvik_cursor";
constexpr const char* kFetchBatch = "FETCH FORWARD 1000 FROM dornvik_cursor";
// Every statement runs after this savepoint; a failing one is rolled back to it.
constexpr const char* kBegin = "BEGIN; SAVEPOINT dornvik_stmt";
constexpr const char* kMoveSavepoint = "RELEASE SAVEPOINT dornvik_stmt; SAVEPOINT dornvik_stmt";
constexpr const char* kUndoStatement = "ROLLBACK TO SAVEPOINT dornvik_stmt";

// Owns one PGresult.
class Result {
 public:
  Result() = default;
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
  Result& operator=(Result&& other) noexcept {
    if (this != &other) {
      PQclear(result_);
      result_ = std::exchange(other.result_, nullptr);
    }
    return *this;
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  PGresult* get() const { return result_; }
  bool ok() const {
    const ExecStatusType status = PQresultStatus(result_);
    return result_ != nullptr && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
  }
  int rows() const { return PQntuples(result_); }

 private:
  PGresult* result_ = nullptr;
};

void IgnoreNotice(void*, const char*) {}

void ClearOutputs(const SqlOutput* outputs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (outputs[i].data != nullptr) std::memset(outputs[i].data, 0, outputs[i].capacity);
  }
}

// Oracle folds an unquoted user name to its case; here the fold is to PostgreSQL's lower case.
std::string OracleUserName(const std::string& user) {
  if (user.size() >= 2 && user.front() == '"' && user.back() == '"') {
    return user.substr(1, user.size() - 2);
  }
  std::string lower = user;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

class PgRuntime final : public SqlRuntime {
 public:
  PgRuntime() = default;
  ~PgRuntime() override { Disconnect(); }
  PgRuntime(const PgRuntime&) = delete;
  PgRuntime& operator=(const PgRuntime&) = delete;

  int Connect(const char* connectText) override {
    Disconnect();
    int code = kSqlOk;
    std::string message;
    PGconn* conn = PgConnectText(connectText, &code, &message);
    if (conn == nullptr) return code;
    PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
    conn_ = conn;
    return BeginTransaction();
  }

  int Prepare(const char* statement) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    prepared_ = statement;
    has_prepared_ = true;
    return kSqlOk;
  }

  int Execute() override {
    if (conn_ == nullptr) return kSqlNotConnected;
    if (!has_prepared_) return kSqlNoStatement;
    std::string schema;
    if (PgParseSchemaSwitch(prepared_, &schema)) {
      Result found;
      const char* name = schema.c_str();
      int code = Run("SELECT 1 FROM pg_catalog.pg_namespace WHERE nspname = $1", {name}, &found);
      if (code != kSqlOk) return code;
      if (found.rows() == 0) return kSqlUnknownUser;
      Result set;
      code = Run("SET search_path TO " + PgQuoteIdent(schema), {}, &set);
      if (code == kSqlOk) dirty_ = true;
      return code;
    }
    const TranslatedSql sql = PgTranslate(prepared_, false);
    if (!sql.params.empty()) return kSqlNotAllBound;
    Result result;
    const int code = Run(sql.text, {}, &result);
    if (code == kSqlOk) dirty_ = true;
    return code;
  }

  int SelectInto(const char* statement, char* out, std::size_t capacity) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    const TranslatedSql sql = PgTranslate(statement, false);
    if (!sql.params.empty()) return kSqlNotAllBound;
    Result result;
    const int code = Run(sql.text, {}, &result);
    if (code != kSqlOk) return code;
    if (result.rows() == 0) return kSqlNoData;
    if (result.rows() > 1) return kSqlTooManyRows;
    if (PQnfields(result.get()) < 1) return kSqlNotInSelectList;
    return Store(result.get(), 0, 0, SqlOutput{out, capacity, false});
  }

  int OpenCursor(const char* query) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    if (cursor_ != Cursor::kClosed) CloseCursor();
    const TranslatedSql sql = PgTranslate(query, false);
    if (!sql.params.empty()) {
      cursor_ = Cursor::kFailed;
      return kSqlNotAllBound;
    }
    Result result;
    const int code = Run(
        std::string("DECLARE ") + kCursorName + " NO SCROLL CURSOR FOR " + sql.text, {}, &result);
    if (code != kSqlOk) {
      cursor_ = Cursor::kFailed;
      return code;
    }
    // The cursor must outlive a later statement's rollback to the savepoint.
    dirty_ = true;
    cursor_ = Cursor::kOpen;
    batch_ = Result();
    batch_row_ = 0;
    exhausted_ = false;
    return kSqlOk;
  }

  int Fetch(const SqlOutput* outputs, std::size_t count) override {
    const int code = FetchRow(outputs, count);
    // Without a row the variables come back empty.
    if (code != kSqlOk && code != kSqlNullFetched && code != kSqlTruncated) {
      ClearOutputs(outputs, count);
    }
    return code;
  }

  int FetchRow(const SqlOutput* outputs, std::size_t count) {
    if (conn_ == nullptr) return kSqlNotConnected;
    if (cursor_ != Cursor::kOpen) return kSqlInvalidCursor;
    if (batch_.get() == nullptr || batch_row_ >= batch_.rows()) {
      if (exhausted_) return kSqlNoData;
      Result next;
      const int code = Run(kFetchBatch, {}, &next);
      if (code != kSqlOk) {
        cursor_ = Cursor::kFailed;
        batch_ = Result();
        return code;
      }
      batch_ = std::move(next);
      batch_row_ = 0;
      if (batch_.rows() == 0) {
        exhausted_ = true;
        batch_ = Result();
        return kSqlNoData;
      }
    }
    if (static_cast<std::size_t>(PQnfields(batch_.get())) < count) return kSqlNotInSelectList;
    const int row = batch_row_++;
    int result = kSqlOk;
    for (std::size_t i = 0; i < count; ++i) {
      const int code = Store(batch_.get(), row, static_cast<int>(i), outputs[i]);
      if (result == kSqlOk) result = code;
    }
    return result;
  }

  int CloseCursor() override {
    if (conn_ == nullptr) return kSqlNotConnected;
    batch_ = Result();
    if (cursor_ == Cursor::kClosed) return kSqlInvalidCursor;
    cursor_ = Cursor::kClosed;
    Result result;
    return Run(std::string("CLOSE ") + kCursorName, {}, &result);
  }

  int Update(const char* statement, const char* const* inputs, std::size_t count) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    const TranslatedSql sql = PgTranslate(statement, false);
    std::vector<const char*> values;
    for (std::size_t index : sql.params) {
      if (index >= count) return kSqlNotAllBound;
      if (values.size() <= index) values.resize(index + 1, nullptr);
      // An empty text is NULL, as in Oracle.
      values[index] = inputs[index][0] == '\0' ? nullptr : inputs[index];
    }
    return Change(sql.text, values);
  }

  int Delete(const char* statement) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    const TranslatedSql sql = PgTranslate(statement, false);
    if (!sql.params.empty()) return kSqlNotAllBound;
    return Change(sql.text, {});
  }

  int Commit() override {
    if (conn_ == nullptr) return kSqlNotConnected;
    cursor_ = Cursor::kClosed;
    batch_ = Result();
    if (transaction_lost_) {
      Result rollback(PQexec(conn_, "ROLLBACK"));
      const int code = BeginTransaction();
      return code != kSqlOk ? code : kSqlTransactionRolledBack;
    }
    Result commit(PQexec(conn_, "COMMIT"));
    if (!commit.ok()) {
      // A refused COMMIT (a deferred constraint, say) has ended the transaction all the same.
      const int code = Failure(commit);
      if (conn_ != nullptr) BeginTransaction();
      return code;
    }
    // COMMIT of a transaction that an error aborted answers ROLLBACK.
    if (std::strcmp(PQcmdStatus(commit.get()), "COMMIT") != 0) {
      const int code = BeginTransaction();
      return code != kSqlOk ? code : kSqlTransactionRolledBack;
    }
    return BeginTransaction();
  }

 private:
  enum class Cursor { kClosed, kOpen, kFailed };

  // ORA-01008: not all variables bound.
  static constexpr int kSqlNotAllBound = -1008;

  int BeginTransaction() {
    transaction_lost_ = false;
    dirty_ = false;
    Result begin(PQexec(conn_, kBegin));
    return begin.ok() ? kSqlOk : Failure(begin);
  }

  void Disconnect() {
    if (conn_ == nullptr) return;
    batch_ = Result();
    // Work that was not committed is undone.
    Result rollback(PQexec(conn_, "ROLLBACK"));
    PQfinish(conn_);
    conn_ = nullptr;
    cursor_ = Cursor::kClosed;
    has_prepared_ = false;
  }

  // The code for a failed result; a lost connection is dropped so that later calls report
  // that there is none.
  int Failure(const Result& result) {
    if (PQstatus(conn_) == CONNECTION_BAD) {
      batch_ = Result();
      PQfinish(conn_);
      conn_ = nullptr;
      cursor_ = Cursor::kClosed;
      return kSqlEndOfFile;
    }
    const char* state =
        result.get() != nullptr ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    return state != nullptr ? PgSqlcodeFromState(state) : kSqlOtherError;
  }

  // Runs one statement behind the savepoint; on failure only that statement is undone.
  int Run(const std::string& text, const std::vector<const char*>& params, Result* out) {
    if (dirty_) {
      Result move(PQexec(conn_, kMoveSavepoint));
      if (!move.ok()) {
        const int code = Failure(move);
        if (conn_ != nullptr) transaction_lost_ = true;
        return code;
      }
      dirty_ = false;
    }
    Result result(PQexecParams(conn_, text.c_str(), static_cast<int>(params.size()), nullptr,
                               params.data(), nullptr, nullptr, 0));
    if (result.ok()) {
      *out = std::move(result);
      return kSqlOk;
    }
    const int code = Failure(result);
    if (conn_ != nullptr) {
      Result undo(PQexec(conn_, kUndoStatement));
      if (!undo.ok()) {
        // The transaction is gone: the commit has to say so.
        transaction_lost_ = true;
        if (Failure(undo) == kSqlEndOfFile) return kSqlEndOfFile;
      }
    }
    return code;
  }

  // An UPDATE or DELETE: a change that the savepoint has to keep from now on. One that finds
  // no row answers "no data", as Oracle's embedded statements do.
  int Change(const std::string& text, const std::vector<const char*>& params) {
    Result result;
    const int code = Run(text, params, &result);
    if (code != kSqlOk) return code;
    if (std::strcmp(PQcmdTuples(result.get()), "0") == 0) return kSqlNoData;
    dirty_ = true;
    return code;
  }

  static int Store(PGresult* result, int row, int column, const SqlOutput& output) {
    if (PQgetisnull(result, row, column) != 0) return SqlStoreOutput(output, nullptr, 0);
    return SqlStoreOutput(output, PQgetvalue(result, row, column),
                          static_cast<std::size_t>(PQgetlength(result, row, column)));
  }

  PGconn* conn_ = nullptr;
  bool dirty_ = false;             // the savepoint lies before changes that must stay
  bool transaction_lost_ = false;  // an error undid the whole transaction
  std::string prepared_;
  bool has_prepared_ = false;
  Cursor cursor_ = Cursor::kClosed;
  Result batch_;  // the rows of the last FETCH, handed out one per call
  int batch_row_ = 0;
  bool exhausted_ = false;
};

}  // namespace

std::unique_ptr<SqlRuntime> NewPgRuntime() { return std::make_unique<PgRuntime>(); }

pg_conn* PgConnectText(const char* connectText, int* sqlcode, std::string* message) {
  const ConnectParts parts = SplitConnectText(connectText);
  std::vector<std::pair<std::string, std::string>> options;
  if (!parts.user.empty()) options.emplace_back("user", OracleUserName(parts.user));
  if (!parts.password.empty()) options.emplace_back("password", parts.password);
  // host[:port]/dbname, or the name of a section of the service file.
  const std::size_t slash = parts.service.find('/');
  if (slash != std::string::npos) {
    std::string host = parts.service.substr(0, slash);
    std::string port;
    const std::size_t colon = host.rfind(':');
    const std::size_t bracket = host.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
      port = host.substr(colon + 1);
      host.erase(colon);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    if (!host.empty()) options.emplace_back("host", host);
    if (!port.empty()) options.emplace_back("port", port);
    options.emplace_back("dbname", parts.service.substr(slash + 1));
    options.emplace_back("connect_timeout", "30");
  } else if (!parts.service.empty()) {
    options.emplace_back("service", parts.service);
  }
  options.emplace_back("client_encoding", "WIN1252");
  options.emplace_back("application_name", "Dornvik");

  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (const auto& [key, value] : options) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 0);
  if (conn == nullptr) {
    *sqlcode = kSqlOtherError;
    *message = "out of memory";
    return nullptr;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    *message = PQerrorMessage(conn);
    *sqlcode = PgSqlcodeFromConnectError(*message, PQconnectionUsedPassword(conn) != 0);
    PQfinish(conn);
    return nullptr;
  }
  *sqlcode = kSqlOk;
  return conn;
}
