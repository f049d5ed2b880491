// The embedded SQL runtime through ODBC (unixODBC, or the system's driver manager on Windows).
//
// The service of the CONNECT text is the data source name; user and password go to the data
// source as they are. The dialect follows the connected database: Oracle receives the program's
// statement texts as they are, with "?" markers and without the "into" clause, and its errors
// are the driver's native numbers negated; PostgreSQL receives the same translation and error
// table as the libpq engine. Autocommit is off: the connect opens the one transaction, and work
// not committed is rolled back when the runtime goes away.
#ifndef DORNVIK_ODBCENGINE_H_
#define DORNVIK_ODBCENGINE_H_

#include <cstddef>
#include <memory>

class SqlRuntime;

// Rows per FETCH of the cursor (PostgreSQL), and marks per batch.
constexpr std::size_t kOdbcFetchBatch = 5000;
constexpr std::size_t kOdbcMarkBatch = 2000;

struct OdbcRuntimeOptions {
  std::size_t fetchBatch = kOdbcFetchBatch;
  // Marks (UPDATEs that set constants, see PgTranslateBatchUpdate) wait until this many have
  // come and then go to the server together: on PostgreSQL as one UPDATE joined with the
  // rows' values, elsewhere as the statement's own text with parameter arrays. 1 sends each
  // at once.
  std::size_t markBatch = kOdbcMarkBatch;
  // Parameter arrays on PostgreSQL as well (for tests of that path).
  bool parameterArrays = false;
};

// Batched marks behave as in the libpq engine (PgEngine.h): a queued UPDATE returns 0; the
// queue is sent when full and before any other statement but FETCH; the statement that sends
// it returns the first failing mark's code in place of its own, except OPEN and COMMIT; failed
// marks are undone alone and the others stay.
std::unique_ptr<SqlRuntime> NewOdbcRuntime(const OdbcRuntimeOptions& options = {});

#endif  // DORNVIK_ODBCENGINE_H_
