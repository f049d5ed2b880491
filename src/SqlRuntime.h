// The embedded SQL runtime: one call per statement, every outcome an Oracle sqlcode.
//
// The program hands the statements over in Oracle's embedded form (":b0" placeholders, an
// "into :b0" clause); each engine turns them into its own dialect and gives them Oracle's
// meaning (DATE with seconds, the format models, ADD_MONTHS, SYSDATE, empty text as NULL).
// There is one connection and one transaction; nothing commits but Commit, and work left
// uncommitted when the runtime is destroyed is rolled back.
#ifndef DORNVIK_SQLRUNTIME_H_
#define DORNVIK_SQLRUNTIME_H_

#include <cstddef>

// Oracle's codes as the program sees them.
constexpr int kSqlOk = 0;
constexpr int kSqlNoData = 1403;            // no (further) row
constexpr int kSqlNullFetched = -1405;      // ORA-01405: NULL in a column without indicator
constexpr int kSqlTruncated = -1406;        // ORA-01406: value cut, column without indicator
constexpr int kSqlInvalidCursor = -1001;    // ORA-01001
constexpr int kSqlTableMissing = -942;      // ORA-00942
constexpr int kSqlLogonDenied = -1017;      // ORA-01017
constexpr int kSqlUnknownService = -12154;  // ORA-12154
constexpr int kSqlNoListener = -12541;      // ORA-12541
constexpr int kSqlUnknownUser = -1435;      // ORA-01435 (schema switch to an unknown schema)
constexpr int kSqlEndOfFile = -3113;        // ORA-03113: connection lost
constexpr int kSqlNotConnected = -3114;     // ORA-03114
constexpr int kSqlResourceBusy = -54;       // ORA-00054

// One output host variable of a fetch: a NUL-terminated text of `capacity` bytes.
struct SqlOutput {
  char* data;
  std::size_t capacity;
  // True for columns bound with an indicator: a NULL (or an over-long value, which is cut)
  // is then not reported. Without one, NULL gives kSqlNullFetched and a cut value
  // kSqlTruncated, the row being delivered all the same.
  bool indicator;
};

class SqlRuntime {
 public:
  virtual ~SqlRuntime() = default;

  // CONNECT with the combined "user/password@service" text.
  virtual int Connect(const char* connectText) = 0;
  // PREPARE of a dynamic statement, then its EXECUTE without host variables.
  virtual int Prepare(const char* statement) = 0;
  virtual int Execute() = 0;
  // Single-row "select ... into :b0 from ..." into a text of `capacity` bytes.
  virtual int SelectInto(const char* statement, char* out, std::size_t capacity) = 0;
  // The one cursor: OPEN with its query, FETCH of one row into `outputs`, CLOSE. The result
  // of an open cursor stays as it was at OPEN while the same session changes the table. A
  // FETCH on a cursor that is not open returns an error, never a row.
  virtual int OpenCursor(const char* query) = 0;
  virtual int Fetch(const SqlOutput* outputs, std::size_t count) = 0;
  virtual int CloseCursor() = 0;
  // UPDATE with NUL-terminated text inputs bound to :b0, :b1, ... (an empty text is NULL).
  virtual int Update(const char* statement, const char* const* inputs, std::size_t count) = 0;
  // DELETE without host variables.
  virtual int Delete(const char* statement) = 0;
  virtual int Commit() = 0;
};

// Copies `value` (of `length` bytes, or null for NULL) into `out` with Oracle's rules for a
// NUL-terminated output: an empty text is NULL; a value longer than the capacity is cut.
// Returns 0, kSqlNullFetched or kSqlTruncated for a column without indicator, 0 with one.
int SqlStoreOutput(const SqlOutput& out, const char* value, std::size_t length);

#endif  // DORNVIK_SQLRUNTIME_H_
