// Creation of booking databases for the admin tool: the empty schema and demo bookings.
//
// Paths are handed to SQLite as they are (UTF-8 on every platform).
#ifndef DORNVIK_DEMODB_H_
#define DORNVIK_DEMODB_H_

#include <ctime>
#include <string>

// Creates the SQLite database file `path` with table Qrv321Bew and the indexes that the run
// needs. Fails (false, with `error` set) when the file already holds the table.
bool SqliteInitDb(const char* path, std::string* error);

// Creates `path` as SqliteInitDb does and fills it with `count` realistic bookings. The rows
// depend only on `count` and on the local date of `now` (0: the current time), around which
// the booking dates lie: the same call on the same day gives the same rows.
bool SqliteDemoDb(const char* path, long count, std::string* error, std::time_t now = 0);

#endif  // DORNVIK_DEMODB_H_
