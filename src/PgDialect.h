// The program's Oracle statement texts in the forms the server engines send, and the table that
// turns PostgreSQL's errors into Oracle's codes. Shared by the libpq and the ODBC engine; needs
// no client library.
#ifndef DORNVIK_PGDIALECT_H_
#define DORNVIK_PGDIALECT_H_

#include <cstddef>
#include <string>
#include <vector>

// One statement ready for a server: its text and, for each parameter marker in the order the
// markers appear, the index of the input host variable that it takes.
struct TranslatedSql {
  std::string text;
  std::vector<std::size_t> params;
};

// Oracle's embedded form to PostgreSQL: ":bN" -> "$N+1" (or "?" with `questionMarks`, as ODBC
// wants), no "into :b0" clause, no "from dual", SYSDATE and SYSTIMESTAMP as the statement's
// time (local time of the session's zone, whole seconds, for SYSDATE), TO_CHAR and TO_DATE with
// Oracle's format models, TO_DATE free of daylight-saving shifts and with '' as NULL,
// ADD_MONTHS with Oracle's last-day rule. String literals and quoted names pass unchanged.
TranslatedSql PgTranslate(const std::string& oracleText, bool questionMarks);

// An UPDATE that marks many rows in one statement: the rows' host variables arrive as a VALUES
// list, joined with the table by the statement's own WHERE.
struct BatchUpdateSql {
  std::string text;
  // The host variables of one input row, in the order of its markers; row r's markers follow
  // row r-1's.
  std::vector<std::size_t> inputs;
  std::size_t rows = 0;
};

// "update T set C=constant[, ...] where CONDITION(:b0, ...)" for `rows` input rows at once:
// "update T set ... FROM (VALUES ($1,...),(...)) AS dornvik_keys(b0,...) where CONDITION" with
// each host variable read from dornvik_keys, translated like PgTranslate. Rows that match
// several input rows are changed once, which gives the same as changing them once per input
// row because every value set is a constant (a number, a text, NULL, SYSDATE or SYSTIMESTAMP;
// the statement's time is that of the one statement). False for any other shape: host
// variables outside the WHERE, a FROM, RETURNING, several statements, computed values.
bool PgTranslateBatchUpdate(const std::string& oracleText, std::size_t rows, bool questionMarks,
                            BatchUpdateSql* out);

// Oracle's embedded form to the form an Oracle ODBC driver takes: "?" markers and no "into"
// clause; everything else verbatim.
TranslatedSql OracleOdbcTranslate(const std::string& oracleText);

// The parts of a CONNECT text "user/password@service": the user ends at the first "/", the
// service begins after the last "@". Missing parts are empty.
struct ConnectParts {
  std::string user;
  std::string password;
  std::string service;
};
ConnectParts SplitConnectText(const std::string& connectText);

// Recognises "ALTER SESSION SET CURRENT_SCHEMA=name" and yields the schema's PostgreSQL name
// (an unquoted name folds to lower case, a quoted one stays as written).
bool PgParseSchemaSwitch(const std::string& statement, std::string* schema);

// `name` as a quoted PostgreSQL identifier.
std::string PgQuoteIdent(const std::string& name);

// The Oracle code for an error that PostgreSQL reported with `sqlstate` on a statement. At the
// schema switch an unknown schema is kSqlUnknownUser; elsewhere it is a missing table.
int PgSqlcodeFromState(const std::string& sqlstate);

// The Oracle code for a connection attempt that failed with libpq's (or psqlODBC's) `message`.
// `passwordSent`: the server asked for a password and was given one.
int PgSqlcodeFromConnectError(const std::string& message, bool passwordSent);

// Any server error that the table does not name.
constexpr int kSqlOtherError = -20000;
// COMMIT found the transaction already undone (ORA-02091).
constexpr int kSqlTransactionRolledBack = -2091;
// More than one row for a single-row query (ORA-01422).
constexpr int kSqlTooManyRows = -1422;
// EXECUTE without a prepared statement (ORA-01003).
constexpr int kSqlNoStatement = -1003;
// Fewer columns than output variables (ORA-01007).
constexpr int kSqlNotInSelectList = -1007;

#endif  // DORNVIK_PGDIALECT_H_
