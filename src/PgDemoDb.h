// Booking tables on PostgreSQL for the admin tool: schema qrschema with table qrv321bew and the
// indexes the run needs, and demo bookings. The database is named by a CONNECT text
// "user/password@service" as the export takes it; the user needs the right to create a schema
// in that database and becomes the owner of what is created.
#ifndef DORNVIK_PGDEMODB_H_
#define DORNVIK_PGDEMODB_H_

#include <ctime>
#include <string>

// The table's definition (PostgreSQL DDL), as the tests' cluster and the README show it.
extern const char kPgBookingTableDdl[];

// Creates schema qrschema (when missing), its booking table and indexes, in one transaction.
// Fails (false, with `error` set) when the table already exists or the server refuses.
bool PgInitDb(const char* connectText, std::string* error);

// Creates the table as PgInitDb does and fills it with `count` demo bookings: the very rows
// that SqliteDemoDb makes for the same `count` and `now` (0: the current time).
bool PgDemoDb(const char* connectText, long count, std::string* error, std::time_t now = 0);

#endif  // DORNVIK_PGDEMODB_H_
