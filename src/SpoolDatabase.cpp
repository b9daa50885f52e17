#include "SpoolDatabase.h"

#include <sqlite3.h>

#include <cstring>
#include <set>

namespace {

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: an id in flight stays unique
    " key TEXT NOT NULL,"
    " received_ms INTEGER NOT NULL,"
    " payload BLOB NOT NULL,"
    " dead_ms INTEGER)";  // NULL: waiting
constexpr const char* kAddDeadColumn = "ALTER TABLE events ADD COLUMN dead_ms INTEGER";
// Dead letters are few (bounded) and listed oldest first; waiting events
// are found by the primary key alone.
constexpr const char* kDeadIndex =
    "CREATE INDEX IF NOT EXISTS events_dead ON events (id) WHERE dead_ms IS NOT NULL";

}  // namespace

SpoolLayout ReadSpoolLayout(sqlite3* db, int* rc) {
  sqlite3_stmt* statement = nullptr;
  *rc = sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('events')", -1, &statement,
                           nullptr);
  if (*rc != SQLITE_OK) return SpoolLayout::kForeign;
  std::set<std::string> columns;
  while ((*rc = sqlite3_step(statement)) == SQLITE_ROW) columns.insert(SpoolColumnText(statement, 0));
  sqlite3_finalize(statement);
  if (*rc != SQLITE_DONE) return SpoolLayout::kForeign;
  *rc = SQLITE_OK;
  if (columns.empty()) return SpoolLayout::kNone;
  for (const char* name : {"id", "key", "received_ms", "payload"}) {
    if (columns.count(name) == 0) return SpoolLayout::kForeign;
  }
  return columns.count("dead_ms") != 0 ? SpoolLayout::kCurrent : SpoolLayout::kOlder;
}

int PrepareSpoolLayout(sqlite3* db, SpoolLayout layout) {
  int rc = SQLITE_OK;
  if (layout == SpoolLayout::kNone) rc = SpoolExec(db, kCreate);
  if (layout == SpoolLayout::kOlder) rc = SpoolExec(db, kAddDeadColumn);
  if (rc != SQLITE_OK) return rc;
  return SpoolExec(db, kDeadIndex);
}

int SpoolExec(sqlite3* db, const char* sql, std::string* first) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (rc != SQLITE_OK) return rc;
  bool have_first = false;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    if (first != nullptr && !have_first) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      *first = text != nullptr ? reinterpret_cast<const char*>(text) : "";
      have_first = true;
    }
  }
  sqlite3_finalize(statement);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

bool IsSpoolCorruption(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string SpoolReason(sqlite3* db, int code) {
  std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  const int system_error = db != nullptr ? sqlite3_system_errno(db) : 0;
  if (system_error != 0 && !IsSpoolCorruption(code)) {
    reason += ": ";
    reason += std::strerror(system_error);
  }
  return reason;
}

std::int64_t SpoolColumnInt(sqlite3_stmt* statement, int column) {
  return static_cast<std::int64_t>(sqlite3_column_int64(statement, column));
}

std::string SpoolColumnText(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
}
