// Dornvik_PostgreSQL: the export run on PostgreSQL through libpq.
#include <memory>

#include "PgEngine.h"
#include "RavelstokSQL.h"
#include "SQLHlp.h"
#include "SqlRuntime.h"

int main(int argc, char** argv) {
  const std::unique_ptr<SqlRuntime> runtime = NewPgRuntime();
  SqlSetDefault(runtime.get());
  return ProcessExitStatus(RunExport(argc, argv));
}
