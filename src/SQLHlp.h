// The session over the embedded SQL runtime: connect with schema switch, and commit.
#ifndef DORNVIK_SQLHLP_H_
#define DORNVIK_SQLHLP_H_

class SqlRuntime;

// The runtime's default connection, on which every statement of the program runs.
SqlRuntime& SqlDefault();
void SqlSetDefault(SqlRuntime* runtime);

// Connects with "user/password@service" and switches to `schema`. Returns the nonzero sqlcode
// of the connect, else the sqlcode of the schema switch.
int SqlConnect(const char* user, const char* password, const char* service, const char* schema);

// Commits the transaction: 1 when it succeeded, 0 when it failed.
int SqlCommit();

#endif  // DORNVIK_SQLHLP_H_
