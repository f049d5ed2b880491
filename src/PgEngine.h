// The embedded SQL runtime on PostgreSQL through libpq.
//
// The service of the CONNECT text is a libpq service name (a section of the service file) or
// host[:port]/dbname. An unquoted user name folds to lower case as Oracle's does; a quoted one
// ("Name") is taken as written. The session talks Windows-1252 with the server. After the
// connect one transaction is open; each statement runs behind a savepoint so that a failing one
// is undone alone, as in Oracle, and the rest of the transaction stays for the commit.
#ifndef DORNVIK_PGENGINE_H_
#define DORNVIK_PGENGINE_H_

#include <cstddef>
#include <memory>
#include <string>

class SqlRuntime;

// Rows per FETCH of the cursor, and marks per batch.
constexpr std::size_t kPgFetchBatch = 5000;
constexpr std::size_t kPgMarkBatch = 5000;

struct PgRuntimeOptions {
  std::size_t fetchBatch = kPgFetchBatch;
  // Marks (UPDATEs of the shape that PgTranslateBatchUpdate takes) wait until this many have
  // come and then go to the server as one statement; 1 sends each at once.
  std::size_t markBatch = kPgMarkBatch;
};

// Batched marks: an UPDATE that is queued returns 0. The queue is sent when it is full, and
// before any other statement but FETCH (the cursor's rows do not depend on the marks). A batch
// that fails is undone and its marks run again one by one, each undone alone if it fails, so
// no other mark is lost. The first failing mark's code is returned by the statement that sent
// the batch in place of its own code: the UPDATE that filled it, CLOSE (which the run calls
// after its last mark), EXECUTE, SELECT INTO or DELETE. OPEN and COMMIT return their own code,
// as the run acts on them: a mark that fails at the commit is left out, as it would have been
// at once, and a batch that cost the transaction makes the commit fail. A mark that finds no
// row is not reported once queued. Marks still queued when the runtime goes away are undone
// with the rest of the transaction.
std::unique_ptr<SqlRuntime> NewPgRuntime(const PgRuntimeOptions& options = {});

// Opens a libpq connection from a CONNECT text "user/password@service" as the engine does. On
// failure returns null with the Oracle code in `sqlcode` and libpq's message in `message`.
struct pg_conn;
pg_conn* PgConnectText(const char* connectText, int* sqlcode, std::string* message);

#endif  // DORNVIK_PGENGINE_H_
