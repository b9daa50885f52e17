// SpoolFile (declared in Spool.h): a second process's view of a spool.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>

#include "Spool.h"
#include "SpoolDatabase.h"

namespace {

// Lists keep the daemon's own order: the sender's is by id, and a resent
// dead letter keeps its id, so it goes out in its old place.
constexpr const char* kListWaiting =
    "SELECT id, key, received_ms, payload, 0 FROM events WHERE dead_ms IS NULL"
    " ORDER BY id LIMIT ?1";
constexpr const char* kListWaitingOlder =
    "SELECT id, key, received_ms, payload, 0 FROM events ORDER BY id LIMIT ?1";
constexpr const char* kListDead =
    "SELECT id, key, received_ms, payload, dead_ms FROM events WHERE dead_ms IS NOT NULL"
    " ORDER BY id LIMIT ?1";
// Marked as resent, so that its delivery is counted as a dead letter's.
constexpr const char* kResendDead =
    "UPDATE events SET dead_ms = NULL, resent_ms = CAST(strftime('%s', 'now') AS INTEGER) * 1000"
    " WHERE dead_ms IS NOT NULL";
constexpr const char* kPurgeDead = "DELETE FROM events WHERE dead_ms IS NOT NULL";
constexpr const char* kCounts =
    "SELECT count(*) - count(dead_ms), count(dead_ms),"
    " (SELECT received_ms FROM events WHERE dead_ms IS NULL ORDER BY id LIMIT 1) FROM events";
constexpr const char* kCountsOlder =
    "SELECT count(*), 0, (SELECT received_ms FROM events ORDER BY id LIMIT 1) FROM events";

// How many virtual-machine steps SQLite takes between looks at the clock:
// a few microseconds' worth.
constexpr int kStepsBetweenLooks = 1000;

// Only a regular file is a spool: a link may point anywhere (the tool runs
// as root), and opening a FIFO would block before any time limit applies.
Status CheckPlainFile(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return Status::FromErrno(errno);
  if (!S_ISREG(info.st_mode)) return Status::Error(kSpoolNotASpoolFile);
  return Status::Ok();
}

// True when `events` is a table: a view of that name would run whatever
// query its author wrote each time the tool reads it.
bool EventsIsTable(sqlite3* db, int* rc) {
  std::string types;
  *rc = SpoolExec(db,
                  "SELECT group_concat(type) FROM sqlite_master"
                  " WHERE name = 'events' COLLATE NOCASE",
                  &types);
  return *rc == SQLITE_OK && types == "table";
}

}  // namespace

Status SpoolFile::Open(const std::string& path, SpoolAccess access,
                       std::unique_ptr<SpoolFile>* file) {
  // Checked before SQLite opens it: SQLite would also create a missing
  // file (read-write) or fail with a vague reason (read-only).
  const Status plain = CheckPlainFile(path);
  if (!plain.ok()) return plain;
  // NOFOLLOW: a link put in place after the check is refused all the same
  // (SQLite opens the -wal and -shm files without following links anyway).
  const int flags = SQLITE_OPEN_NOFOLLOW | (access == SpoolAccess::kReadWrite
                                                ? SQLITE_OPEN_READWRITE
                                                : SQLITE_OPEN_READONLY);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    Status failed = Status::Error(SpoolOpenFailure(db, rc, path));
    if (rc == SQLITE_CANTOPEN_SYMLINK || sqlite3_extended_errcode(db) == SQLITE_CANTOPEN_SYMLINK) {
      failed = Status::Error(kSpoolNotASpoolFile);
    }
    sqlite3_close(db);
    return failed;
  }
  std::unique_ptr<SpoolFile> opened(new SpoolFile(db));
  const Status set_up = opened->SetUp(access);
  if (!set_up.ok()) return set_up;
  *file = std::move(opened);
  return Status::Ok();
}

Status SpoolFile::SetUp(SpoolAccess access) {
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kSpoolBusyTimeoutMs);
  // The schema is the file's author's: its views and triggers may call no
  // function with side effects, and it cannot be written around SQLite.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_progress_handler(db_, kStepsBetweenLooks, &SpoolFile::OverTime, this);
  StartWork();
  int rc = SQLITE_OK;
  const bool table = EventsIsTable(db_, &rc);
  if (rc != SQLITE_OK) return Failure(rc);
  if (!table) return Status::Error(kSpoolNotASpoolFile);
  SpoolLayout layout = ReadSpoolLayout(db_, &rc);
  if (rc == SQLITE_OK && (layout == SpoolLayout::kForeign || layout == SpoolLayout::kNone)) {
    return Status::Error(kSpoolNotASpoolFile);
  }
  const bool upgrade = layout == SpoolLayout::kOlder || layout == SpoolLayout::kUnmarkedResends;
  if (rc == SQLITE_OK && upgrade && access == SpoolAccess::kReadWrite) {
    rc = PrepareSpoolLayout(db_, layout);
    if (rc == SQLITE_OK) layout = SpoolLayout::kCurrent;
  }
  if (rc != SQLITE_OK) return Failure(rc);
  has_dead_ = layout == SpoolLayout::kCurrent || layout == SpoolLayout::kUnmarkedResends;
  return Status::Ok();
}

void SpoolFile::StartWork() {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSpoolWorkLimitMs);
}

int SpoolFile::OverTime(void* self) {
  // Non-zero interrupts the statement (SQLITE_INTERRUPT), rolled back.
  return std::chrono::steady_clock::now() > static_cast<SpoolFile*>(self)->deadline_ ? 1 : 0;
}

Status SpoolFile::Failure(int rc) const {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_INTERRUPT:
      return Status::Error(kSpoolBusy);
    case SQLITE_NOTADB:
      return Status::Error(kSpoolNotASpoolFile);
    default:
      return Status::Error(SpoolReason(db_, rc));
  }
}

SpoolFile::~SpoolFile() { sqlite3_close(db_); }

Status SpoolFile::List(SpoolList which, std::size_t limit, std::vector<SpooledEvent>* events) {
  events->clear();
  StartWork();
  if (which == SpoolList::kDead && !has_dead_) return Status::Ok();
  const char* sql = which == SpoolList::kDead ? kListDead
                    : has_dead_               ? kListWaiting
                                              : kListWaitingOlder;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
  if (rc != SQLITE_OK) return Failure(rc);
  // LIMIT -1: no limit.
  sqlite3_bind_int64(statement, 1, limit == 0 ? -1 : static_cast<sqlite3_int64>(limit));
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    SpooledEvent event;
    event.id = SpoolColumnInt(statement, 0);
    event.key = SpoolColumnText(statement, 1);
    event.received_ms = SpoolColumnInt(statement, 2);
    event.payload = SpoolColumnText(statement, 3);
    event.dead_ms = SpoolColumnInt(statement, 4);
    events->push_back(std::move(event));
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) return Failure(rc);
  return Status::Ok();
}

Status SpoolFile::Change(const char* sql, std::size_t* changed) {
  std::size_t unused = 0;
  if (changed == nullptr) changed = &unused;
  *changed = 0;
  if (!has_dead_) return Status::Ok();  // an older spool holds no dead letters
  StartWork();
  const int rc = SpoolExec(db_, sql);
  if (rc != SQLITE_OK) return Failure(rc);
  *changed = static_cast<std::size_t>(sqlite3_changes(db_));
  return Status::Ok();
}

Status SpoolFile::ResendDead(std::size_t* resent) { return Change(kResendDead, resent); }

Status SpoolFile::PurgeDead(std::size_t* purged) { return Change(kPurgeDead, purged); }

Status SpoolFile::QuickCheck(std::string* verdict) {
  StartWork();
  const int rc = SpoolExec(db_, "PRAGMA quick_check", verdict);
  return rc == SQLITE_OK ? Status::Ok() : Failure(rc);
}

Status SpoolFile::Counts(SpoolCounts* counts) {
  *counts = SpoolCounts();
  StartWork();
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, has_dead_ ? kCounts : kCountsOlder, -1, &statement, nullptr);
  if (rc != SQLITE_OK) return Failure(rc);
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    counts->waiting = static_cast<std::size_t>(SpoolColumnInt(statement, 0));
    counts->dead = static_cast<std::size_t>(SpoolColumnInt(statement, 1));
    counts->oldest_waiting_ms = SpoolColumnInt(statement, 2);
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_ROW) return Failure(rc);
  return Status::Ok();
}
