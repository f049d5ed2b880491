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

#include <memory>

class SqlRuntime;

std::unique_ptr<SqlRuntime> NewOdbcRuntime();

#endif  // DORNVIK_ODBCENGINE_H_
