// The daemon's spool opened: the connection set up and checked, the
// statements prepared, the bound applied, and a damaged file moved aside.
#include <sqlite3.h>

#include "EventLog.h"
#include "Spool.h"
#include "SpoolDatabase.h"

namespace {

constexpr const char* kInsert =
    "INSERT INTO events (key, received_ms, payload) VALUES (?1, ?2, ?3)";
constexpr const char* kDropOldest =
    "DELETE FROM events WHERE id IN"
    " (SELECT id FROM events WHERE dead_ms IS NULL ORDER BY id LIMIT ?1)";
constexpr const char* kOldest =
    "SELECT id, key, received_ms, payload FROM events WHERE dead_ms IS NULL ORDER BY id LIMIT 1";
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

bool Spool::OpenLocked() {
  // A corrupt file is moved aside once; a second failure is a fault of the
  // folder or the disk, not of the file.
  for (int attempt = 0;; ++attempt) {
    std::string reason;
    bool corrupt = false;
    if (SetUpLocked(&reason, &corrupt)) return true;
    CloseLocked();
    if (!corrupt || attempt > 0) {
      FailedLocked(reason);
      return false;
    }
    if (!MoveAsideLocked(reason)) return false;
  }
}

bool Spool::SetUpLocked(std::string* reason, bool* corrupt) {
  int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           nullptr);
  auto fail = [&](int code, const std::string& why) {
    *reason = why;
    *corrupt = IsSpoolCorruption(code);
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc, SpoolOpenFailure(db_, rc, path_));
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kSpoolBusyTimeoutMs);

  std::string why;
  if ((rc = TuneSpoolConnection(db_, &why)) != SQLITE_OK) return fail(rc, why);

  // A database whose "events" table has other columns is somebody else's;
  // a spool from before dead letters gains their column, its events kept.
  const SpoolLayout layout = ReadSpoolLayout(db_, &rc);
  if (rc != SQLITE_OK) return fail(rc, SpoolReason(db_, rc));
  if (layout == SpoolLayout::kForeign) {
    return fail(SQLITE_NOTADB, "not a spool: its events table has other columns");
  }
  if ((rc = PrepareSpoolLayout(db_, layout)) != SQLITE_OK) return fail(rc, SpoolReason(db_, rc));
  const struct {
    const char* sql;
    sqlite3_stmt** statement;
  } statements[] = {{kInsert, &insert_},         {kDropOldest, &drop_oldest_},
                    {kOldest, &oldest_},         {kRemove, &remove_},
                    {kMarkDead, &mark_dead_},    {kDropOldestDead, &drop_oldest_dead_},
                    {kOldestTime, &oldest_time_}, {kCounts, &counts_},
                    {kDataVersion, &data_version_}};
  for (const auto& s : statements) {
    rc = sqlite3_prepare_v3(db_, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.statement, nullptr);
    if ((rc & 0xff) == SQLITE_ERROR) return fail(SQLITE_NOTADB, "not a spool: " + SpoolReason(db_, rc));
    if (rc != SQLITE_OK) return fail(rc, SpoolReason(db_, rc));
  }

  seen_version_ = -1;
  RefreshLocked();
  if (seen_version_ < 0) return fail(SQLITE_ERROR, "cannot count the events");
  if (count_ > max_events_) {
    // The bound was lowered since the events were kept.
    const std::size_t excess = count_ - max_events_;
    sqlite3_bind_int64(drop_oldest_, 1, static_cast<sqlite3_int64>(excess));
    rc = sqlite3_step(drop_oldest_);
    sqlite3_reset(drop_oldest_);
    if (rc != SQLITE_DONE) return fail(rc, SpoolReason(db_, rc));
    count_ -= static_cast<std::size_t>(sqlite3_changes(db_));
    LogFormat("Spool full: dropped the %zu oldest events, over the bound of %zu", excess,
              max_events_);
  }
  return true;
}

void Spool::CloseLocked() {
  for (sqlite3_stmt** statement : {&insert_, &drop_oldest_, &oldest_, &remove_, &mark_dead_,
                                   &drop_oldest_dead_, &oldest_time_, &counts_,
                                   &data_version_}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
  sqlite3_close(db_);  // a null handle is fine; nothing is left unfinalised
  db_ = nullptr;
  count_ = 0;
  dead_ = 0;
  seen_version_ = -1;
}

bool Spool::MoveAsideLocked(const std::string& reason) {
  std::string aside;
  const Status moved = MoveSpoolAside(path_, &aside);
  if (!moved.ok()) {
    FailedLocked(reason + "; cannot be moved aside: " + moved.reason());
    return false;
  }
  LogFormat("Error: Spool %s unusable - %s; moved aside as %s", path_.c_str(), reason.c_str(),
            aside.c_str());
  return true;
}
