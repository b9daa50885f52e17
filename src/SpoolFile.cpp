// SpoolFile (declared in Spool.h): a second process's view of a spool.
#include <sqlite3.h>
#include <unistd.h>

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
constexpr const char* kResendDead = "UPDATE events SET dead_ms = NULL WHERE dead_ms IS NOT NULL";
constexpr const char* kPurgeDead = "DELETE FROM events WHERE dead_ms IS NOT NULL";
constexpr const char* kCounts =
    "SELECT count(*) - count(dead_ms), count(dead_ms),"
    " (SELECT received_ms FROM events WHERE dead_ms IS NULL ORDER BY id LIMIT 1) FROM events";
constexpr const char* kCountsOlder =
    "SELECT count(*), 0, (SELECT received_ms FROM events ORDER BY id LIMIT 1) FROM events";

Status Failure(sqlite3* db, int rc) { return Status::Error(SpoolReason(db, rc)); }

}  // namespace

Status SpoolFile::Open(const std::string& path, SpoolAccess access,
                       std::unique_ptr<SpoolFile>* file) {
  // SQLite would create a missing file (read-write) or fail with a vague
  // reason (read-only): say plainly that there is none.
  if (::access(path.c_str(), F_OK) != 0) return Status::FromErrno(errno, path);
  const int flags = access == SpoolAccess::kReadWrite ? SQLITE_OPEN_READWRITE
                                                      : SQLITE_OPEN_READONLY;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    Status failed = Status::Error(SpoolOpenFailure(db, rc, path));
    sqlite3_close(db);
    return failed;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kSpoolBusyTimeoutMs);
  SpoolLayout layout = ReadSpoolLayout(db, &rc);
  if (rc == SQLITE_OK && (layout == SpoolLayout::kForeign || layout == SpoolLayout::kNone)) {
    sqlite3_close(db);
    return Status::Error("not a spool");
  }
  if (rc == SQLITE_OK && layout == SpoolLayout::kOlder && access == SpoolAccess::kReadWrite) {
    rc = PrepareSpoolLayout(db, layout);
    if (rc == SQLITE_OK) layout = SpoolLayout::kCurrent;
  }
  if (rc != SQLITE_OK) {
    Status failed = Failure(db, rc);
    sqlite3_close(db);
    return failed;
  }
  file->reset(new SpoolFile(db, layout == SpoolLayout::kCurrent));
  return Status::Ok();
}

SpoolFile::~SpoolFile() { sqlite3_close(db_); }

Status SpoolFile::List(SpoolList which, std::size_t limit, std::vector<SpooledEvent>* events) {
  events->clear();
  if (which == SpoolList::kDead && !has_dead_) return Status::Ok();
  const char* sql = which == SpoolList::kDead ? kListDead
                    : has_dead_               ? kListWaiting
                                              : kListWaitingOlder;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
  if (rc != SQLITE_OK) return Failure(db_, rc);
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
  if (rc != SQLITE_DONE) return Failure(db_, rc);
  return Status::Ok();
}

Status SpoolFile::Change(const char* sql, std::size_t* changed) {
  std::size_t unused = 0;
  if (changed == nullptr) changed = &unused;
  *changed = 0;
  if (!has_dead_) return Status::Ok();  // an older spool holds no dead letters
  const int rc = SpoolExec(db_, sql);
  if (rc != SQLITE_OK) return Failure(db_, rc);
  *changed = static_cast<std::size_t>(sqlite3_changes(db_));
  return Status::Ok();
}

Status SpoolFile::ResendDead(std::size_t* resent) { return Change(kResendDead, resent); }

Status SpoolFile::PurgeDead(std::size_t* purged) { return Change(kPurgeDead, purged); }

Status SpoolFile::Counts(SpoolCounts* counts) {
  *counts = SpoolCounts();
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, has_dead_ ? kCounts : kCountsOlder, -1, &statement, nullptr);
  if (rc != SQLITE_OK) return Failure(db_, rc);
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    counts->waiting = static_cast<std::size_t>(SpoolColumnInt(statement, 0));
    counts->dead = static_cast<std::size_t>(SpoolColumnInt(statement, 1));
    counts->oldest_waiting_ms = SpoolColumnInt(statement, 2);
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_ROW) return Failure(db_, rc);
  return Status::Ok();
}
