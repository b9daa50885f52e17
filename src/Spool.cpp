#include "Spool.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "EventLog.h"
#include "SpoolDatabase.h"


Spool::Spool(const std::string& path, std::size_t max_events, std::size_t max_dead)
    : path_(path), max_events_(max_events > 0 ? max_events : 1), max_dead_(max_dead) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (OpenLocked()) {
    LogFormat("Spool %s: %zu events waiting", path_.c_str(), count_);
  }
}

Spool::~Spool() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

void Spool::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

Status Spool::Add(const std::string& payload, std::int64_t received_ms, std::size_t* dropped) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t unused = 0;
  if (dropped == nullptr) dropped = &unused;
  *dropped = 0;
  if (db_ == nullptr && !OpenLocked()) return Status::Error(failure_);
  RefreshLocked();
  bool corrupt = false;
  const Status added = AddLocked(payload, received_ms, &corrupt, dropped);
  // A file that went bad under us is replaced like one found bad at start.
  if (added.ok() || !corrupt) return added;
  CloseLocked();
  if (!MoveAsideLocked("found corrupt while adding an event") || !OpenLocked()) {
    return Status::Error(failure_);
  }
  return AddLocked(payload, received_ms, &corrupt, dropped);
}

Status Spool::FailureLocked(const std::string& reason) {
  FailedLocked(reason);
  return Status::Error(reason);
}

Status Spool::AddLocked(const std::string& payload, std::int64_t received_ms, bool* corrupt,
                        std::size_t* dropped_out) {
  std::string key;
  if (!NewEventKey(&key)) return FailureLocked("no random bytes for the event's key");
  std::size_t dropped = 0;
  int rc = SpoolExec(db_, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK && count_ >= max_events_) {
    sqlite3_bind_int64(drop_oldest_, 1, static_cast<sqlite3_int64>(count_ - max_events_ + 1));
    rc = sqlite3_step(drop_oldest_);
    sqlite3_reset(drop_oldest_);
    if (rc == SQLITE_DONE) {
      rc = SQLITE_OK;
      dropped = static_cast<std::size_t>(sqlite3_changes(db_));
    }
  }
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(insert_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_, 2, static_cast<sqlite3_int64>(received_ms));
    sqlite3_bind_blob(insert_, 3, payload.data(), static_cast<int>(payload.size()),
                      SQLITE_TRANSIENT);
    rc = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    if (rc == SQLITE_DONE) rc = SpoolExec(db_, "COMMIT");
  }
  if (rc != SQLITE_OK) {
    const std::string reason = SpoolReason(db_, rc);
    SpoolExec(db_, "ROLLBACK");  // fails harmlessly when SQLite already rolled back
    *corrupt = IsSpoolCorruption(rc);
    if (!*corrupt) FailedLocked(reason);
    return Status::Error(reason);
  }
  count_ = count_ - dropped + 1;
  *dropped_out = dropped;
  for (std::size_t i = 0; i < dropped; ++i) LogLine("Spool full: dropped the oldest event");
  WorkedLocked();
  return Status::Ok();
}

bool Spool::Oldest(SpooledEvent* event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  int rc = sqlite3_step(oldest_);
  if (rc == SQLITE_ROW) {
    event->id = SpoolColumnInt(oldest_, 0);
    event->key = SpoolColumnText(oldest_, 1);
    event->received_ms = SpoolColumnInt(oldest_, 2);
    event->payload = SpoolColumnText(oldest_, 3);
  } else if (rc != SQLITE_DONE) {
    FailedLocked(SpoolReason(db_, rc));
  }
  sqlite3_reset(oldest_);
  return rc == SQLITE_ROW;
}

Status Spool::Remove(std::int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return Status::Error("the spool is closed");
  SpoolExec(db_, "PRAGMA synchronous = NORMAL");  // see the header: a lost removal is a resend
  sqlite3_bind_int64(remove_, 1, static_cast<sqlite3_int64>(id));
  int rc = sqlite3_step(remove_);
  sqlite3_reset(remove_);
  const std::size_t removed =
      rc == SQLITE_DONE ? static_cast<std::size_t>(sqlite3_changes(db_)) : 0;
  const std::string reason = rc == SQLITE_DONE ? std::string() : SpoolReason(db_, rc);
  SpoolExec(db_, "PRAGMA synchronous = FULL");
  if (rc != SQLITE_DONE) return FailureLocked(reason);
  count_ -= removed <= count_ ? removed : count_;
  WorkedLocked();
  return Status::Ok();
}

Status Spool::MarkDead(std::int64_t id, std::int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return Status::Error("the spool is closed");
  RefreshLocked();
  std::size_t dropped = 0;
  int rc = SpoolExec(db_, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(mark_dead_, 1, static_cast<sqlite3_int64>(id));
    sqlite3_bind_int64(mark_dead_, 2, static_cast<sqlite3_int64>(now_ms));
    rc = sqlite3_step(mark_dead_);
    sqlite3_reset(mark_dead_);
  }
  const bool marked = rc == SQLITE_DONE && sqlite3_changes(db_) > 0;
  if (rc == SQLITE_DONE && marked && dead_ + 1 > max_dead_) {
    sqlite3_bind_int64(drop_oldest_dead_, 1, static_cast<sqlite3_int64>(dead_ + 1 - max_dead_));
    rc = sqlite3_step(drop_oldest_dead_);
    sqlite3_reset(drop_oldest_dead_);
    if (rc == SQLITE_DONE) dropped = static_cast<std::size_t>(sqlite3_changes(db_));
  }
  if (rc == SQLITE_DONE) rc = SpoolExec(db_, "COMMIT");
  if (rc != SQLITE_OK) {
    const std::string reason = SpoolReason(db_, rc);
    SpoolExec(db_, "ROLLBACK");
    return FailureLocked(reason);
  }
  if (marked) {
    count_ -= count_ > 0 ? 1 : 0;
    dead_ = dead_ + 1 - dropped;
  }
  for (std::size_t i = 0; i < dropped; ++i) LogLine("Spool full: dropped the oldest dead letter");
  WorkedLocked();
  return Status::Ok();
}

std::size_t Spool::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshLocked();
  return count_;
}

SpoolCounts Spool::Counts() {
  std::lock_guard<std::mutex> lock(mutex_);
  SpoolCounts counts;
  if (db_ == nullptr) return counts;
  RefreshLocked();
  counts.waiting = count_;
  counts.dead = dead_;
  if (sqlite3_step(oldest_time_) == SQLITE_ROW) {
    counts.oldest_waiting_ms = SpoolColumnInt(oldest_time_, 0);
  }
  sqlite3_reset(oldest_time_);
  return counts;
}

void Spool::RefreshLocked() {
  // Our own commits keep count_ and dead_ right; only another connection's
  // (the operator's tool) changes data_version, and then we count again.
  if (db_ == nullptr) return;
  std::int64_t version = -1;
  if (sqlite3_step(data_version_) == SQLITE_ROW) version = SpoolColumnInt(data_version_, 0);
  sqlite3_reset(data_version_);
  if (version < 0 || version == seen_version_) return;
  if (sqlite3_step(counts_) == SQLITE_ROW) {
    count_ = static_cast<std::size_t>(SpoolColumnInt(counts_, 0));
    dead_ = static_cast<std::size_t>(SpoolColumnInt(counts_, 1));
    seen_version_ = version;
  }
  sqlite3_reset(counts_);
}

void Spool::FailedLocked(const std::string& reason) {
  failure_ = reason;
  if (failing_) return;
  failing_ = true;
  LogFormat("Error: Spool %s not writable - %s; events are posted directly until it is",
            path_.c_str(), reason.c_str());
}

void Spool::WorkedLocked() {
  if (!failing_) return;
  failing_ = false;
  LogFormat("Spool %s writable again", path_.c_str());
}
