#include "SpoolDatabase.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <initializer_list>

#include <cstring>
#include <set>

namespace {

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: an id in flight stays unique
    " key TEXT NOT NULL,"
    " received_ms INTEGER NOT NULL,"
    " payload BLOB NOT NULL,"
    " dead_ms INTEGER,"  // NULL: waiting
    " resent_ms INTEGER)";  // NULL: never resent from the dead letters
constexpr const char* kAddDeadColumn = "ALTER TABLE events ADD COLUMN dead_ms INTEGER";
constexpr const char* kAddResentColumn = "ALTER TABLE events ADD COLUMN resent_ms INTEGER";
// Dead letters are few (bounded) and listed oldest first; waiting events
// are found by the primary key alone.
constexpr const char* kDeadIndex =
    "CREATE INDEX IF NOT EXISTS events_dead ON events (id) WHERE dead_ms IS NOT NULL";

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Page cache of the connection: the spool reads from one end and writes at
// the other, so a large cache buys nothing and would grow with the backlog.
constexpr const char* kCacheSize = "PRAGMA cache_size = -256";  // KiB

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
  if (columns.count("dead_ms") == 0) return SpoolLayout::kOlder;
  return columns.count("resent_ms") != 0 ? SpoolLayout::kCurrent : SpoolLayout::kUnmarkedResends;
}

int PrepareSpoolLayout(sqlite3* db, SpoolLayout layout) {
  int rc = SQLITE_OK;
  if (layout == SpoolLayout::kNone) rc = SpoolExec(db, kCreate);
  if (layout == SpoolLayout::kOlder) rc = SpoolExec(db, kAddDeadColumn);
  if (rc == SQLITE_OK && (layout == SpoolLayout::kOlder || layout == SpoolLayout::kUnmarkedResends)) {
    rc = SpoolExec(db, kAddResentColumn);
  }
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

std::string SpoolOpenFailure(sqlite3* db, int code, const std::string& path) {
  // SQLite's own errno is that of its last attempt (a read-only open after
  // the read-write one failed), so a folder that cannot be written is asked
  // about directly.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0                ? "/"
                                                         : path.substr(0, slash);
  if ((code & 0xff) == SQLITE_CANTOPEN && access(folder.c_str(), W_OK) != 0) {
    const int error = errno;
    return std::string(sqlite3_errstr(code)) + ": " + folder + ": " + std::strerror(error);
  }
  return SpoolReason(db, code);
}

Status MoveSpoolAside(const std::string& path, std::string* aside) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32] = {0};
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  *aside = path + ".corrupt-" + stamp;
  // A second fault within the same second keeps the first file too.
  for (int n = 1; Exists(*aside); ++n) *aside = path + ".corrupt-" + stamp + "-" + std::to_string(n);
  if (std::rename(path.c_str(), aside->c_str()) != 0) return Status::FromErrno(errno);
  // The log belongs to the file it was written for; the shared-memory index
  // is rebuilt from scratch.
  if (Exists(path + "-wal")) std::rename((path + "-wal").c_str(), (*aside + "-wal").c_str());
  unlink((path + "-shm").c_str());
  return Status::Ok();
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

int TuneSpoolConnection(sqlite3* db, std::string* why) {
  std::string mode;
  int rc = SpoolExec(db, "PRAGMA journal_mode = WAL", &mode);
  if (rc == SQLITE_OK && mode != "wal") {
    *why = "cannot use a write-ahead log (" + mode + ")";
    return SQLITE_CANTOPEN;
  }
  if (rc == SQLITE_OK) rc = SpoolExec(db, "PRAGMA synchronous = FULL");
  if (rc == SQLITE_OK) rc = SpoolExec(db, kCacheSize);
  std::string check;
  if (rc == SQLITE_OK) rc = SpoolExec(db, "PRAGMA quick_check", &check);
  if (rc != SQLITE_OK) {
    *why = SpoolReason(db, rc);
    return rc;
  }
  if (check != "ok") {
    *why = "integrity check: " + check;
    return SQLITE_CORRUPT;
  }
  return SQLITE_OK;
}

namespace {

constexpr const char* kInsert =
    "INSERT INTO events (key, received_ms, payload) VALUES (?1, ?2, ?3)";
constexpr const char* kDropOldest =
    "DELETE FROM events WHERE id IN"
    " (SELECT id FROM events WHERE dead_ms IS NULL ORDER BY id LIMIT ?1)";
constexpr const char* kOldest =
    "SELECT id, key, received_ms, payload, resent_ms IS NOT NULL FROM events"
    " WHERE dead_ms IS NULL AND id > ?1 ORDER BY id LIMIT 1";
constexpr const char* kRemove = "DELETE FROM events WHERE id = ?1";
constexpr const char* kMarkDead = "UPDATE events SET dead_ms = ?2 WHERE id = ?1 AND dead_ms IS NULL";
constexpr const char* kDropOldestDead =
    "DELETE FROM events WHERE id IN"
    " (SELECT id FROM events WHERE dead_ms IS NOT NULL ORDER BY id LIMIT ?1)";
constexpr const char* kOldestTime =
    "SELECT received_ms FROM events WHERE dead_ms IS NULL ORDER BY id LIMIT 1";
constexpr const char* kCounts = "SELECT count(*) - count(dead_ms), count(dead_ms) FROM events";
constexpr const char* kDataVersion = "PRAGMA data_version";

}  // namespace

int PrepareSpoolStatements(sqlite3* db, SpoolStatements* st) {
  const struct {
    const char* sql;
    sqlite3_stmt** statement;
  } statements[] = {{kInsert, &st->insert},           {kDropOldest, &st->drop_oldest},
                    {kOldest, &st->oldest},           {kRemove, &st->remove},
                    {kMarkDead, &st->mark_dead},      {kDropOldestDead, &st->drop_oldest_dead},
                    {kOldestTime, &st->oldest_time},  {kCounts, &st->counts},
                    {kDataVersion, &st->data_version}};
  for (const auto& s : statements) {
    const int rc =
        sqlite3_prepare_v3(db, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.statement, nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

void FinalizeSpoolStatements(SpoolStatements* st) {
  for (sqlite3_stmt** statement : {&st->insert, &st->drop_oldest, &st->oldest, &st->remove,
                                   &st->mark_dead, &st->drop_oldest_dead, &st->oldest_time,
                                   &st->counts, &st->data_version}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
}
