// SpoolBound: keeping the spool within its bound. At the bound the oldest
// dead letters go first (nothing will send them again by itself, while a
// waiting event is still on its way), then the oldest waiting events, each
// one logged.
//
// Threads: the caller holds the spool's lock and, for DropOldestSpooled, its
// open transaction; the connection and statements stay the spool's.
#ifndef NETWORKPROXY_SPOOLBOUND_H_
#define NETWORKPROXY_SPOOLBOUND_H_

#include <cstddef>

#include "SpoolDatabase.h"

struct sqlite3;

// Deletes the `excess` oldest events through `st`, at most `dead` of them
// dead letters and those first. `dropped_dead` and `dropped` receive how
// many dead letters and waiting events went. Returns SQLite's result code
// (SQLITE_OK when done).
int DropOldestSpooled(sqlite3* db, const SpoolStatements& st, std::size_t excess,
                      std::size_t dead, std::size_t* dropped_dead, std::size_t* dropped);

// Logs "Spool full: dropped the oldest dead letter" once for each dead
// letter dropped, then "Spool full: dropped the oldest event" once for each
// waiting event.
void LogSpoolDrops(std::size_t dropped_dead, std::size_t dropped);

#endif  // NETWORKPROXY_SPOOLBOUND_H_
