#include <memory>

#include "RavelstokSQL.h"
#include "SQLHlp.h"
#include "SqlRuntime.h"
#include "SqliteEngine.h"

int main(int argc, char** argv) {
  std::unique_ptr<SqlRuntime> database = NewSqliteRuntime();
  SqlSetDefault(database.get());
  int status = RunExport(argc, argv);
  SqlSetDefault(nullptr);
  database.reset();  // work that was not committed is rolled back here
  return ProcessExitStatus(status);
}
