#include "SQLHlp.h"

#include <string>

#include "SqlRuntime.h"

namespace {

// Stands in until a runtime is installed: every statement fails as on a session that was
// never opened.
class NoRuntime : public SqlRuntime {
 public:
  int Connect(const char*) override { return kSqlNotConnected; }
  int Prepare(const char*) override { return kSqlNotConnected; }
  int Execute() override { return kSqlNotConnected; }
  int SelectInto(const char*, char*, std::size_t) override { return kSqlNotConnected; }
  int OpenCursor(const char*) override { return kSqlNotConnected; }
  int Fetch(const SqlOutput*, std::size_t) override { return kSqlNotConnected; }
  int CloseCursor() override { return kSqlNotConnected; }
  int Update(const char*, const char* const*, std::size_t) override { return kSqlNotConnected; }
  int Delete(const char*) override { return kSqlNotConnected; }
  int Commit() override { return kSqlNotConnected; }
};

SqlRuntime* g_default = nullptr;

// The host variable of the connect and of the schema statement. It grows with the settings
// (user name and password of up to 199 characters, a service name of up to 41), so that no
// setting is ever cut.
std::string g_connectText;

const char kSchemaPrefix[] = "ALTER SESSION SET CURRENT_SCHEMA=";

}  // namespace

SqlRuntime& SqlDefault() {
  static NoRuntime none;
  return g_default ? *g_default : none;
}

void SqlSetDefault(SqlRuntime* runtime) { g_default = runtime; }

int SqlConnect(const char* user, const char* password, const char* service, const char* schema) {
  g_connectText = std::string(user) + "/" + password + "@" + service;
  int rc = SqlDefault().Connect(g_connectText.c_str());
  if (rc != 0) return rc;

  g_connectText = std::string(kSchemaPrefix) + schema;
  SqlDefault().Prepare(g_connectText.c_str());  // its outcome shows in the execute
  return SqlDefault().Execute();
}

int SqlCommit() { return SqlDefault().Commit() == 0 ? 1 : 0; }
