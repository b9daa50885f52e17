// SpoolDatabase: what the daemon's Spool and a second process's SpoolFile
// share about a spool file: its layout, the in-place upgrade of a file an
// older daemon wrote, and small SQLite helpers.
//
// Layout: one table, events (id INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT,
// received_ms INTEGER, payload BLOB, dead_ms INTEGER, resent_ms INTEGER).
// dead_ms is NULL for a waiting event and the time (ms since the epoch) it
// was set aside for a dead letter; resent_ms, when the operator last put it
// back to waiting (NULL: never a dead letter resent). An older file lacks
// dead_ms, or resent_ms; adding the columns keeps every event it holds.
//
// Pure helpers over a connection the caller owns; any thread.
#ifndef NETWORKPROXY_SPOOLDATABASE_H_
#define NETWORKPROXY_SPOOLDATABASE_H_

#include <cstdint>
#include <string>

#include "Status.h"

struct sqlite3;
struct sqlite3_stmt;

// Another process (the operator's tool, an sqlite3 shell) may hold the lock
// briefly; both sides wait this long for it.
constexpr int kSpoolBusyTimeoutMs = 2000;

// What the events table of an open database looks like.
enum class SpoolLayout {
  kNone,        // no events table yet
  kCurrent,     // a spool with dead letters and their resending
  kUnmarkedResends,  // dead letters, but no resent_ms column
  kOlder,       // a spool from before dead letters (no dead_ms column)
  kForeign,     // an events table of somebody else's
};

// Reads the layout; a failure's SQLite code goes to `rc` (SQLITE_OK else).
SpoolLayout ReadSpoolLayout(sqlite3* db, int* rc);

// Creates the table (kNone) or adds the missing columns (kOlder,
// kUnmarkedResends), and the dead letters' index. Returns an SQLite code.
int PrepareSpoolLayout(sqlite3* db, SpoolLayout layout);

// Puts the daemon's read-write connection in the spool's modes (write-ahead
// log, synchronous=FULL, a small page cache) and checks the file is sound.
// Returns an SQLite code (SQLITE_CORRUPT for a failed check); `why` receives
// the reason when it is not SQLITE_OK.
int TuneSpoolConnection(sqlite3* db, std::string* why);

// Runs `sql`; the first column of its first row, if any, goes to `first`.
// Returns an SQLite code (SQLITE_OK when it ran to its end).
int SpoolExec(sqlite3* db, const char* sql, std::string* first = nullptr);

// SQLite's words for the failure `code` on `db`, with the system's text when
// an operating system call was behind it.
std::string SpoolReason(sqlite3* db, int code);

// Why the spool at `path` could not be opened: SpoolReason, or the folder's
// fault when it cannot be written.
std::string SpoolOpenFailure(sqlite3* db, int code, const std::string& path);

// Moves a damaged spool file aside as <path>.corrupt-<YYYYmmdd-HHMMSS>
// (local time; "-<n>" added when that is taken), its write-ahead log with it;
// its shared-memory index is removed. `aside` receives the new name. A
// failed rename is returned with the system's text.
Status MoveSpoolAside(const std::string& path, std::string* aside);

// The daemon's statements over its spool connection, prepared once.
struct SpoolStatements {
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* drop_oldest = nullptr;
  sqlite3_stmt* oldest = nullptr;
  sqlite3_stmt* remove = nullptr;
  sqlite3_stmt* mark_dead = nullptr;
  sqlite3_stmt* drop_oldest_dead = nullptr;
  sqlite3_stmt* oldest_time = nullptr;
  sqlite3_stmt* counts = nullptr;
  sqlite3_stmt* data_version = nullptr;
};

// Prepares every statement of `statements` on `db`. Returns an SQLite code:
// the first failure (an SQLITE_ERROR one means the tables are not a spool's).
int PrepareSpoolStatements(sqlite3* db, SpoolStatements* statements);

// Finalizes every statement and sets it to null.
void FinalizeSpoolStatements(SpoolStatements* statements);

// True for codes that mean the file is damaged or not a database.
bool IsSpoolCorruption(int code);

std::int64_t SpoolColumnInt(sqlite3_stmt* statement, int column);
std::string SpoolColumnText(sqlite3_stmt* statement, int column);

#endif  // NETWORKPROXY_SPOOLDATABASE_H_
