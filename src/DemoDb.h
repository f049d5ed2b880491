// Creation of booking databases for the admin tool: the empty schema and demo bookings.
#ifndef DORNVIK_DEMODB_H_
#define DORNVIK_DEMODB_H_

#include <string>

// Creates the SQLite database file `path` with table Qrv321Bew and the indexes that the run
// needs. Fails (false, with `error` set) when the file already holds the table.
bool SqliteInitDb(const char* path, std::string* error);

// Creates `path` as SqliteInitDb does and fills it with `count` realistic bookings.
bool SqliteDemoDb(const char* path, long count, std::string* error);

#endif  // DORNVIK_DEMODB_H_
