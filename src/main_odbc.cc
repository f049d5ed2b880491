// Dornvik_ODBC: the export run through an ODBC data source (Oracle, PostgreSQL).
#include <memory>

#include "OdbcEngine.h"
#include "RavelstokSQL.h"
#include "SQLHlp.h"
#include "SqlRuntime.h"

int main(int argc, char** argv) {
  const std::unique_ptr<SqlRuntime> runtime = NewOdbcRuntime();
  SqlSetDefault(runtime.get());
  return ProcessExitStatus(RunExport(argc, argv));
}
