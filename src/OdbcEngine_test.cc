// The ODBC engine: the server cases through psqlODBC and the private cluster's data source
// (scripts/pg-cluster.sh), and the statement form an Oracle driver receives.
#include "OdbcEngine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "PgDialect.h"
#include "SqlRuntime.h"

#if defined(DORNVIK_HAVE_PG)
#include "ServerEngineTest.h"

namespace {

std::string OdbcCredentials() {
  return EnvOr("DORNVIK_PG_USER", "dornvik") + "/" + EnvOr("DORNVIK_PG_PASSWORD", "geheim");
}

std::string OdbcDsn() {
  return EnvOr("DORNVIK_ODBC_ENGINE_DSN", EnvOr("DORNVIK_ODBC_DSN", "DornvikPG").c_str());
}

// The cluster's data sources and one more, pointing at a port where nothing listens.
std::string DownDataSource() {
  const std::string dir = EnvOr("DORNVIK_PG_DIR", "/tmp");
  const std::string path = dir + "/odbc-down.ini";
  {
    std::string current = EnvOr("ODBCINI", "");
    if (current.empty() || current == path) current = dir + "/odbc.ini";
    std::ifstream sources(current);
    std::ofstream ini(path);
    ini << sources.rdbuf() << "\n[DornvikPGDown]\nDriver=DornvikPostgreSQL\n"
        << "Servername=127.0.0.1\nPort=" << FreeLoopbackPort() << "\nDatabase=dornvik_engines\n";
  }
  setenv("ODBCINI", path.c_str(), 1);
  return OdbcCredentials() + "@DornvikPGDown";
}

// Marks at once, as the shared cases check each mark's own code.
const EngineCase kOdbc = {
    "odbc",
    [] {
      return NewOdbcRuntime(OdbcRuntimeOptions{kOdbcFetchBatch, 1, false});
    },
    [] { return OdbcCredentials() + "@" + OdbcDsn(); },
    [] { return EnvOr("DORNVIK_PG_USER", "dornvik") + "/falsch@" + OdbcDsn(); },
    [] { return OdbcCredentials() + "@NichtDa"; },
    &DownDataSource,
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Odbc, ServerEngineTest, ::testing::Values(kOdbc),
                         [](const auto& info) { return std::string(info.param.name); });

// Batches as one UPDATE joined with the rows' values (PostgreSQL's way), and as the parameter
// arrays that an Oracle data source receives.
const EngineCase kOdbcBatched[] = {
    {"odbc_values",
     [] {
       return NewOdbcRuntime(OdbcRuntimeOptions{4, 3, false});
     },
     kOdbc.connectText, kOdbc.wrongPassword, kOdbc.unknownService, kOdbc.noListener},
    {"odbc_arrays",
     [] {
       return NewOdbcRuntime(OdbcRuntimeOptions{4, 3, true});
     },
     kOdbc.connectText, kOdbc.wrongPassword, kOdbc.unknownService, kOdbc.noListener},
};
INSTANTIATE_TEST_SUITE_P(Odbc, BatchedMarkTest, ::testing::ValuesIn(kOdbcBatched),
                         [](const auto& info) { return std::string(info.param.name); });
#endif  // DORNVIK_HAVE_PG

// What an Oracle driver receives: the program's texts with "?" markers and no "into" clause.
TEST(OdbcEngineTest, OracleReceivesTheProgramsTextsInOdbcForm) {
  struct Case {
    const char* program;
    const char* sent;
    std::vector<std::size_t> params;
  };
  const Case cases[] = {
      {"select TO_CHAR(SYSDATE,'dd.mm.yyyy hh24:mi:ss') into :b0  from dual ",
       "select TO_CHAR(SYSDATE,'dd.mm.yyyy hh24:mi:ss')   from dual ",
       {}},
      {"update QRSCHEMA.Qrv321Bew  set BewUkz=4,BewUdt=SYSTIMESTAMP where ((((BewIDN=:b0 and "
       "BewSto=:b1) and BewDtm=to_date(:b2,'yyyymmddhh24miss')) and "
       "BewUhr=to_date(:b3,'yyyymmddhh24miss')) and BewLfn=:b4)",
       "update QRSCHEMA.Qrv321Bew  set BewUkz=4,BewUdt=SYSTIMESTAMP where ((((BewIDN=? and "
       "BewSto=?) and BewDtm=to_date(?,'yyyymmddhh24miss')) and "
       "BewUhr=to_date(?,'yyyymmddhh24miss')) and BewLfn=?)",
       {0, 1, 2, 3, 4}},
      {"delete  from QRSCHEMA.QRV321BEW  where (BewDat<ADD_MONTHS(SYSDATE,(-3)) and BewUkz=4)",
       "delete  from QRSCHEMA.QRV321BEW  where (BewDat<ADD_MONTHS(SYSDATE,(-3)) and BewUkz=4)",
       {}},
      {"ALTER SESSION SET CURRENT_SCHEMA=QRSCHEMA",
       "ALTER SESSION SET CURRENT_SCHEMA=QRSCHEMA",
       {}},
  };
  for (const Case& c : cases) {
    const TranslatedSql sql = OracleOdbcTranslate(c.program);
    EXPECT_EQ(c.sent, sql.text);
    EXPECT_EQ(c.params, sql.params) << c.program;
  }
}

TEST(OdbcEngineTest, NothingRunsWithoutASession) {
  auto rt = NewOdbcRuntime();
  char out[20] = "unchanged";
  EXPECT_EQ(kSqlNotConnected, rt->SelectInto("select 1 into :b0  from dual ", out, sizeof out));
  EXPECT_STREQ("unchanged", out);
  EXPECT_EQ(kSqlNotConnected, rt->OpenCursor("select 1 from dual"));
  EXPECT_EQ(kSqlNotConnected, rt->Commit());
}
