// Test support for the server engines: the private PostgreSQL cluster that
// scripts/pg-cluster.sh starts (found through its environment variables), an administrative
// libpq connection for setting up and inspecting the booking table, and the parameterised
// suite that runs the same cases on every engine that reaches the cluster.
#ifndef DORNVIK_SERVERENGINETEST_H_
#define DORNVIK_SERVERENGINETEST_H_

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SqlRuntime.h"

// The statement texts of the export run, byte for byte.
inline constexpr char kTestServerTimeQuery[] =
    "select TO_CHAR(SYSDATE,'dd.mm.yyyy hh24:mi:ss') into :b0  from dual ";
inline constexpr char kTestBookingQuery[] =
    "select BewTID ,BewLID ,BewIDN ,BewSto ,to_char(BewDtm,'yyyymmddhh24miss') "
    ",to_char(BewUhr,'yyyymmddhh24miss') ,BewLfn ,BewArt ,BewTas ,BewEra ,BewKze ,BewBer ,BewErq "
    ",BewKst ,BewQua ,BewSrc  from QRSCHEMA.Qrv321Bew where (BewUkz<>4 or BewUkz is null ) "
    "order by BewDtm,BewUhr            ";
inline constexpr char kTestMarkStatement[] =
    "update QRSCHEMA.Qrv321Bew  set BewUkz=4,BewUdt=SYSTIMESTAMP where ((((BewIDN=:b0 and "
    "BewSto=:b1) and BewDtm=to_date(:b2,'yyyymmddhh24miss')) and "
    "BewUhr=to_date(:b3,'yyyymmddhh24miss')) and BewLfn=:b4)";
inline constexpr char kTestPurgeStatement[] =
    "delete  from QRSCHEMA.QRV321BEW  where (BewDat<ADD_MONTHS(SYSDATE,(-3)) and BewUkz=4)";
inline constexpr char kTestSchemaSwitch[] = "ALTER SESSION SET CURRENT_SCHEMA=QRSCHEMA";

// The advisory lock that a test holds on an administrative connection while it uses the shared
// booking table qrschema.qrv321bew, so that test processes running side by side take turns.
inline constexpr long kPgTableLock = 321321;

// True when the cluster's variables are set. Without them a test skips, unless
// DORNVIK_REQUIRE_PG=1 demands the cluster, in which case it fails.
bool PgClusterAvailable(std::string* why);

#define DORNVIK_NEED_PG_CLUSTER()                                              \
  do {                                                                         \
    std::string why_;                                                          \
    if (!PgClusterAvailable(&why_)) {                                          \
      const char* require_ = std::getenv("DORNVIK_REQUIRE_PG");                \
      if (require_ != nullptr && std::string(require_) == "1") FAIL() << why_; \
      GTEST_SKIP() << why_;                                                    \
    }                                                                          \
  } while (false)

std::string EnvOr(const char* name, const char* fallback);

// A loopback port on which nothing listens (a moment ago).
int FreeLoopbackPort();

// The administrative connection to database dornvik.
class PgAdmin {
 public:
  PgAdmin();
  ~PgAdmin();
  PgAdmin(const PgAdmin&) = delete;
  PgAdmin& operator=(const PgAdmin&) = delete;

  bool ok() const;
  // Runs `sql` with text parameters (null for NULL); fails the test on an error.
  void Exec(const std::string& sql, const std::vector<const char*>& params = {});
  // The first column of every row (nullopt for NULL).
  std::vector<std::optional<std::string>> Column(const std::string& sql,
                                                 const std::vector<const char*>& params = {});
  std::string Scalar(const std::string& sql, const std::vector<const char*>& params = {});

 private:
  PGconn* conn_;
};

// One booking row as the tests insert it; dates are 'YYYY-MM-DD HH24:MI:SS' or empty for NULL.
struct TestBooking {
  std::optional<std::string> idn = "4711";
  std::optional<std::string> sto = "0001";
  std::optional<std::string> dtm = "2024-12-09 00:00:00";
  std::optional<std::string> uhr = "2024-12-09 07:05:00";
  std::optional<std::string> lfn = "1";
  std::optional<std::string> era = "100";
  std::optional<std::string> src = "DTA";
  std::optional<std::string> tid = "T1";
  std::optional<int> ukz;
  std::optional<std::string> dat = "2024-12-09 07:05:00";
};

// The sixteen fetched texts of one row, with the capacities of the booking record.
struct FetchedRow {
  char f[16][256];
  SqlOutput out[16];
  FetchedRow();
  std::string Field(int i) const { return f[i]; }
};

// How a test reaches the cluster through one engine.
struct EngineCase {
  const char* name;
  std::unique_ptr<SqlRuntime> (*make)();
  std::string (*connectText)();     // the working CONNECT text
  std::string (*wrongPassword)();   // right user, wrong password
  std::string (*unknownService)();  // a service name that is defined nowhere
  std::string (*noListener)();      // a server address where nothing listens
};

void PrintTo(const EngineCase& engine, std::ostream* os);

class ServerEngineTest : public ::testing::TestWithParam<EngineCase> {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A connected runtime, switched to QRSCHEMA.
  std::unique_ptr<SqlRuntime> Open();
  void Insert(const TestBooking& booking);
  // Marks with the five key texts; returns the sqlcode.
  static int Mark(SqlRuntime& rt, const std::string& idn, const std::string& sto,
                  const std::string& dtm, const std::string& uhr, const std::string& lfn);
  // "idn:ukz" of every row, ordered by idn, as another session sees them.
  std::vector<std::string> Marks();
  // Fills the table with `rows` bookings and an index on BewUkz that the cursor must use, reads
  // them all while marking each, and checks that every row came once, in order, and was marked.
  void ExpectCursorStableWhileMarking(int rows);

  std::unique_ptr<PgAdmin> admin_;
};

// The cases of marks sent in batches, on engines that batch.
class BatchedMarkTest : public ServerEngineTest {};

#endif  // DORNVIK_SERVERENGINETEST_H_
