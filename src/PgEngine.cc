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
// Every statement runs after this savepoint; a failing one is rolled back to it.
constexpr const char* kBegin = "BEGIN; SAVEPOINT dornvik_stmt";
constexpr const char* kReleaseSavepoint = "RELEASE SAVEPOINT dornvik_stmt";
constexpr const char* kSetSavepoint = "SAVEPOINT dornvik_stmt";
constexpr const char* kMoveSavepoint = "RELEASE SAVEPOINT dornvik_stmt; SAVEPOINT dornvik_stmt";
constexpr const char* kUndoStatement = "ROLLBACK TO SAVEPOINT dornvik_stmt";
constexpr const char* kMarkStatementName = "dornvik_marks";
constexpr const char* kSessionSettings[] = {"SET cursor_tuple_fraction = 1", "SET jit = off"};
// The server takes at most this many parameters in one statement.
constexpr std::size_t kMaxParameters = 65535;

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
  explicit PgRuntime(const PgRuntimeOptions& options)
      : fetch_(std::string("FETCH FORWARD ") +
               std::to_string(options.fetchBatch > 0 ? options.fetchBatch : 1) + " FROM " +
               kCursorName),
        mark_batch_(options.markBatch > 0 ? options.markBatch : 1) {}
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
    // The run reads its cursor to the end, so the cursor is planned for all rows (a sort, not
    // a slow walk along an index), and its big statements are not worth compiling. A server
    // that lacks a setting goes without it.
    for (const char* setting : kSessionSettings) Result(PQexec(conn, setting));
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
    const int flushed = FlushMarks();
    if (conn_ == nullptr) return flushed;
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
    return flushed != kSqlOk ? flushed : code;
  }

  int SelectInto(const char* statement, char* out, std::size_t capacity) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    const int flushed = FlushMarks();
    if (conn_ == nullptr) return flushed;
    const TranslatedSql sql = PgTranslate(statement, false);
    if (!sql.params.empty()) return kSqlNotAllBound;
    Result result;
    const int code = Run(sql.text, {}, &result);
    if (code != kSqlOk) return code;
    if (result.rows() == 0) return kSqlNoData;
    if (result.rows() > 1) return kSqlTooManyRows;
    if (PQnfields(result.get()) < 1) return kSqlNotInSelectList;
    const int stored = Store(result.get(), 0, 0, SqlOutput{out, capacity, false});
    return flushed != kSqlOk ? flushed : stored;
  }

  // The run acts on the code of the OPEN, so it reports the OPEN alone.
  int OpenCursor(const char* query) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    const int flushed = FlushMarks();
    if (conn_ == nullptr) return flushed;
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

  // The cursor's result does not move with the session's changes, so queued marks need not be
  // sent before a FETCH.
  int FetchRow(const SqlOutput* outputs, std::size_t count) {
    if (conn_ == nullptr) return kSqlNotConnected;
    if (cursor_ != Cursor::kOpen) return kSqlInvalidCursor;
    if (batch_.get() == nullptr || batch_row_ >= batch_.rows()) {
      if (exhausted_) return kSqlNoData;
      batch_ = Result();
      Result next;
      const int code = Run(fetch_, {}, &next);
      if (code != kSqlOk) {
        cursor_ = Cursor::kFailed;
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
    const int flushed = FlushMarks();
    if (conn_ == nullptr) return flushed;
    batch_ = Result();
    if (cursor_ == Cursor::kClosed) return flushed != kSqlOk ? flushed : kSqlInvalidCursor;
    cursor_ = Cursor::kClosed;
    Result result;
    const int code = Run(std::string("CLOSE ") + kCursorName, {}, &result);
    return flushed != kSqlOk ? flushed : code;
  }

  int Update(const char* statement, const char* const* inputs, std::size_t count) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    const std::string text = statement != nullptr ? statement : "";
    if (mark_batch_ > 1 && Batchable(text)) {
      // Queued: the mark goes to the server with its batch.
      for (std::size_t index : marks_.batch.inputs) {
        if (index >= count) return kSqlNotAllBound;
      }
      for (std::size_t index : marks_.batch.inputs) {
        const char* value = inputs[index];
        marks_.isNull.push_back(value[0] == '\0' ? 1 : 0);  // an empty text is NULL
        marks_.values.emplace_back(value);
      }
      ++marks_.rows;
      return marks_.rows >= marks_.batch.rows ? FlushMarks() : kSqlOk;
    }
    const int flushed = FlushMarks();
    if (conn_ == nullptr) return flushed;
    return UpdateNow(text, inputs, count);
  }

  int Delete(const char* statement) override {
    if (conn_ == nullptr) return kSqlNotConnected;
    const int flushed = FlushMarks();
    if (conn_ == nullptr) return flushed;
    const TranslatedSql sql = PgTranslate(statement, false);
    if (!sql.params.empty()) return kSqlNotAllBound;
    const int code = Change(sql.text, {});
    return flushed != kSqlOk ? flushed : code;
  }

  int Commit() override {
    if (conn_ == nullptr) return kSqlNotConnected;
    // Queued marks belong to this transaction. A mark that fails here is left out, as it
    // would have been had it run at once; a lost transaction is reported below.
    FlushMarks();
    if (conn_ == nullptr) return kSqlEndOfFile;
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

  // The marks waiting to be sent: one statement text, its rows' values.
  struct Marks {
    std::string statement;   // the program's text
    bool batchable = false;  // it has the shape of PgTranslateBatchUpdate
    BatchUpdateSql batch;
    TranslatedSql single;             // the statement for one row
    bool prepared = false;            // the batch statement is prepared on the server
    std::vector<std::string> values;  // row after row, batch.inputs.size() each
    std::vector<char> isNull;
    std::size_t rows = 0;
  };

  // One statement of a round trip.
  struct Command {
    std::string text;  // the statement, or the name of a prepared one
    bool prepared = false;
    std::vector<const char*> params;
  };

  // True when `text` can wait in a batch; sends the marks of another statement first.
  bool Batchable(const std::string& text) {
    if (marks_.statement == text) return marks_.batchable;
    FlushMarks();
    if (conn_ == nullptr) return false;
    marks_ = Marks();
    marks_.statement = text;
    const std::size_t perRow = PgTranslate(text, false).params.size();
    std::size_t rows = mark_batch_;
    if (perRow > 0 && rows * perRow > kMaxParameters) rows = kMaxParameters / perRow;
    marks_.batchable = rows > 1 && PgTranslateBatchUpdate(text, rows, false, &marks_.batch);
    if (marks_.batchable) marks_.single = PgTranslate(text, false);
    return marks_.batchable;
  }

  int UpdateNow(const std::string& text, const char* const* inputs, std::size_t count) {
    if (update_text_ != text || !has_update_) {
      update_sql_ = PgTranslate(text, false);
      update_text_ = text;
      has_update_ = true;
    }
    std::vector<const char*> values;
    for (std::size_t index : update_sql_.params) {
      if (index >= count) return kSqlNotAllBound;
      if (values.size() <= index) values.resize(index + 1, nullptr);
      // An empty text is NULL, as in Oracle.
      values[index] = inputs[index][0] == '\0' ? nullptr : inputs[index];
    }
    return Change(update_sql_.text, values);
  }

  // Sends the queued marks as one statement. Returns 0, or the code of the first mark that
  // failed: the batch is then undone and its marks run one by one, each undone alone if it
  // fails, so that every other mark stays. "No row found" is not reported for queued marks.
  int FlushMarks() {
    if (marks_.rows == 0 || conn_ == nullptr) return kSqlOk;
    const std::size_t perRow = marks_.batch.inputs.size();
    int code = PrepareMarks();
    if (code == kSqlOk) {
      std::vector<const char*> params(marks_.batch.rows * perRow);
      for (std::size_t r = 0; r < marks_.batch.rows; ++r) {
        // A short batch repeats its last row; a row marked twice is marked once.
        const std::size_t from = (r < marks_.rows ? r : marks_.rows - 1) * perRow;
        for (std::size_t c = 0; c < perRow; ++c) {
          params[r * perRow + c] =
              marks_.isNull[from + c] != 0 ? nullptr : marks_.values[from + c].c_str();
        }
      }
      Result result;
      code = RunCommands({Command{kMarkStatementName, true, std::move(params)}}, &result);
      if (code == kSqlOk) dirty_ = true;
    }
    if (code != kSqlOk && conn_ != nullptr && !transaction_lost_) code = MarkOneByOne();
    marks_.values.clear();
    marks_.isNull.clear();
    marks_.rows = 0;
    return code;
  }

  // The queued marks, each as its own statement; the code of the first that fails.
  int MarkOneByOne() {
    const std::size_t perRow = marks_.batch.inputs.size();
    int first = kSqlOk;
    for (std::size_t r = 0; r < marks_.rows && conn_ != nullptr; ++r) {
      std::vector<const char*> values;
      for (std::size_t index : marks_.single.params) {
        std::size_t column = 0;
        while (marks_.batch.inputs[column] != index) ++column;
        const std::size_t at = r * perRow + column;
        if (values.size() <= index) values.resize(index + 1, nullptr);
        values[index] = marks_.isNull[at] != 0 ? nullptr : marks_.values[at].c_str();
      }
      const int code = Change(marks_.single.text, values);
      if (first == kSqlOk && code != kSqlOk && code != kSqlNoData) first = code;
    }
    return conn_ == nullptr ? kSqlEndOfFile : first;
  }

  // Prepares the batch statement once, with the parameter types that the server gives the
  // statement for one row, so that the values compare as they would there.
  int PrepareMarks() {
    if (marks_.prepared) return kSqlOk;
    Result described;
    int code = RunWith(
        [&] {
          Result parsed(PQprepare(conn_, "", marks_.single.text.c_str(), 0, nullptr));
          if (!parsed.ok()) return parsed;
          return Result(PQdescribePrepared(conn_, ""));
        },
        &described);
    if (code != kSqlOk) return code;
    std::vector<Oid> types;
    for (std::size_t r = 0; r < marks_.batch.rows; ++r) {
      for (std::size_t index : marks_.batch.inputs) {
        const int n = static_cast<int>(index);
        types.push_back(n < PQnparams(described.get()) ? PQparamtype(described.get(), n) : 0);
      }
    }
    Result prepared;
    code = RunWith(
        [&] {
          Result deallocate(PQexec(conn_, "DEALLOCATE ALL"));
          return Result(PQprepare(conn_, kMarkStatementName, marks_.batch.text.c_str(),
                                  static_cast<int>(types.size()), types.data()));
        },
        &prepared);
    if (code == kSqlOk) marks_.prepared = true;
    return code;
  }

  int BeginTransaction() {
    transaction_lost_ = false;
    dirty_ = false;
    Result begin(PQexec(conn_, kBegin));
    return begin.ok() ? kSqlOk : Failure(begin);
  }

  void Disconnect() {
    if (conn_ == nullptr) return;
    batch_ = Result();
    // Work that was not committed is undone, queued marks with it.
    marks_ = Marks();
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
      marks_ = Marks();
      PQfinish(conn_);
      conn_ = nullptr;
      cursor_ = Cursor::kClosed;
      return kSqlEndOfFile;
    }
    const char* state =
        result.get() != nullptr ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    return state != nullptr ? PgSqlcodeFromState(state) : kSqlOtherError;
  }

  // Undoes a failed statement: back to the savepoint. Returns `code`, or -3113 when the
  // connection went.
  int Undo(int code) {
    if (conn_ == nullptr) return code;
    Result undo(PQexec(conn_, kUndoStatement));
    if (!undo.ok()) {
      // The transaction is gone: the commit has to say so.
      transaction_lost_ = true;
      if (Failure(undo) == kSqlEndOfFile) return kSqlEndOfFile;
    }
    return code;
  }

  // Moves the savepoint behind the changes that must stay, then runs `send`'s statement; on
  // failure only that statement is undone.
  template <typename Send>
  int RunWith(Send send, Result* out) {
    if (dirty_) {
      Result move(PQexec(conn_, kMoveSavepoint));
      if (!move.ok()) {
        const int code = Failure(move);
        if (conn_ != nullptr) transaction_lost_ = true;
        return code;
      }
      dirty_ = false;
    }
    Result result = send();
    if (result.ok()) {
      *out = std::move(result);
      return kSqlOk;
    }
    return Undo(Failure(result));
  }

  // Runs statements behind the savepoint in one round trip (moving the savepoint first when
  // changes lie before it); `out` receives the last one's result. On failure the failed
  // statement is undone alone and its code returned.
  int RunCommands(const std::vector<Command>& commands, Result* out) {
#if defined(LIBPQ_HAS_PIPELINING)
    std::vector<Command> all;
    if (dirty_) {
      all.push_back(Command{kReleaseSavepoint, false, {}});
      all.push_back(Command{kSetSavepoint, false, {}});
    }
    all.insert(all.end(), commands.begin(), commands.end());
    if (all.size() > 1 && PQenterPipelineMode(conn_) == 1) {
      bool sent = true;
      for (const Command& c : all) {
        const int n = static_cast<int>(c.params.size());
        sent = sent && (c.prepared ? PQsendQueryPrepared(conn_, c.text.c_str(), n, c.params.data(),
                                                         nullptr, nullptr, 0)
                                   : PQsendQueryParams(conn_, c.text.c_str(), n, nullptr,
                                                       c.params.data(), nullptr, nullptr, 0)) == 1;
      }
      sent = sent && PQpipelineSync(conn_) == 1;
      // One result (and its end) per statement, then the synchronisation point.
      Result failed;
      bool ok = sent;
      bool moved = !dirty_;
      for (std::size_t i = 0; sent && i < all.size(); ++i) {
        Result result(PQgetResult(conn_));
        if (result.get() != nullptr) {
          while (PGresult* rest = PQgetResult(conn_)) PQclear(rest);
        }
        if (ok && result.ok()) {
          if (dirty_ && i == 1) moved = true;
          if (i + 1 == all.size()) *out = std::move(result);
        } else if (ok) {
          ok = false;
          failed = std::move(result);
        }
      }
      if (sent) {
        for (;;) {
          Result sync(PQgetResult(conn_));
          if (sync.get() == nullptr || PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC) break;
        }
      }
      PQexitPipelineMode(conn_);
      if (moved) dirty_ = false;
      if (ok) return kSqlOk;
      const int code = Failure(failed);
      if (conn_ == nullptr) return code;
      if (!moved) {
        transaction_lost_ = true;  // the savepoint could not be moved
        return code;
      }
      return Undo(code);
    }
#endif
    int code = kSqlOk;
    for (const Command& c : commands) {
      code = RunWith(
          [&] {
            const int n = static_cast<int>(c.params.size());
            return Result(c.prepared ? PQexecPrepared(conn_, c.text.c_str(), n, c.params.data(),
                                                      nullptr, nullptr, 0)
                                     : PQexecParams(conn_, c.text.c_str(), n, nullptr,
                                                    c.params.data(), nullptr, nullptr, 0));
          },
          out);
      if (code != kSqlOk) break;
    }
    return code;
  }

  // Runs one statement behind the savepoint; on failure only that statement is undone.
  int Run(const std::string& text, const std::vector<const char*>& params, Result* out) {
    return RunCommands({Command{text, false, params}}, out);
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
  const std::string fetch_;
  const std::size_t mark_batch_;
  bool dirty_ = false;             // the savepoint lies before changes that must stay
  bool transaction_lost_ = false;  // an error undid the whole transaction
  std::string prepared_;
  bool has_prepared_ = false;
  Cursor cursor_ = Cursor::kClosed;
  Result batch_;  // the rows of the last FETCH, handed out one per call
  int batch_row_ = 0;
  bool exhausted_ = false;
  Marks marks_;
  std::string update_text_;  // the last UPDATE run at once, translated
  TranslatedSql update_sql_;
  bool has_update_ = false;
};

}  // namespace

std::unique_ptr<SqlRuntime> NewPgRuntime(const PgRuntimeOptions& options) {
  return std::make_unique<PgRuntime>(options);
}

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
