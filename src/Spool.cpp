#include "Spool.h"

#include <sqlite3.h>

#include "EventLog.h"
#include "SpoolBound.h"
#include "SpoolDatabase.h"

Spool::Spool(const std::string& path, std::size_t max_events)
    : path_(path), max_events_(max_events > 0 ? max_events : 1) {
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
  rc = PrepareSpoolStatements(db_, &st_);
  if ((rc & 0xff) == SQLITE_ERROR) return fail(SQLITE_NOTADB, "not a spool: " + SpoolReason(db_, rc));
  if (rc != SQLITE_OK) return fail(rc, SpoolReason(db_, rc));

  seen_version_ = -1;
  RefreshLocked();
  if (seen_version_ < 0) return fail(SQLITE_ERROR, "cannot count the events");
  if (count_ + dead_ > max_events_) {
    // The bound was lowered since the events were kept.
    const std::size_t excess = count_ + dead_ - max_events_;
    std::size_t dropped_dead = 0, dropped = 0;
    if ((rc = DropOldestLocked(excess, &dropped_dead, &dropped)) != SQLITE_OK) {
      return fail(rc, SpoolReason(db_, rc));
    }
    LogFormat("Spool full: dropped the %zu oldest events, over the bound of %zu", excess,
              max_events_);
  }
  return true;
}

void Spool::CloseLocked() {
  FinalizeSpoolStatements(&st_);
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

Status Spool::Add(const std::string& payload, std::int64_t received_ms, std::size_t* dropped) {
  SpooledEvent event;
  event.payload = payload;
  event.received_ms = received_ms;
  return AddBatch({event}, dropped);
}

Status Spool::AddBatch(const std::vector<SpooledEvent>& events, std::size_t* dropped) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t unused = 0;
  if (dropped == nullptr) dropped = &unused;
  *dropped = 0;
  if (events.empty()) return Status::Ok();
  if (db_ == nullptr && !OpenLocked()) return Status::Error(failure_);
  RefreshLocked();
  bool corrupt = false;
  const Status added = AddLocked(events, &corrupt, dropped);
  // A file that went bad under us is replaced like one found bad at start.
  if (added.ok() || !corrupt) return added;
  CloseLocked();
  if (!MoveAsideLocked("found corrupt while adding an event") || !OpenLocked()) {
    return Status::Error(failure_);
  }
  return AddLocked(events, &corrupt, dropped);
}

Status Spool::FailureLocked(const std::string& reason) {
  FailedLocked(reason);
  return Status::Error(reason);
}

Status Spool::AddLocked(const std::vector<SpooledEvent>& events, bool* corrupt,
                        std::size_t* dropped_out) {
  // One transaction, so one sync, for the whole batch: a burst is taken at
  // the line's speed, not the disk's.
  const std::size_t count = count_, dead = dead_;
  std::size_t dropped = 0, dropped_dead = 0;
  int rc = SpoolExec(db_, "BEGIN IMMEDIATE");
  for (const SpooledEvent& event : events) {
    if (rc != SQLITE_OK) break;
    std::string key = event.key;
    if (key.empty() && !NewEventKey(&key)) {
      SpoolExec(db_, "ROLLBACK");
      return FailureLocked("no random bytes for the event's key");
    }
    sqlite3_bind_text(st_.insert, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st_.insert, 2, static_cast<sqlite3_int64>(event.received_ms));
    sqlite3_bind_blob(st_.insert, 3, event.payload.data(), static_cast<int>(event.payload.size()),
                      SQLITE_TRANSIENT);
    rc = sqlite3_step(st_.insert);
    sqlite3_reset(st_.insert);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK) {
    count_ += events.size();
    if (count_ + dead_ > max_events_) {
      rc = DropOldestLocked(count_ + dead_ - max_events_, &dropped_dead, &dropped);
    }
  }
  if (rc == SQLITE_OK) rc = SpoolExec(db_, "COMMIT");
  if (rc != SQLITE_OK) {
    const std::string reason = SpoolReason(db_, rc);
    SpoolExec(db_, "ROLLBACK");  // fails harmlessly when SQLite already rolled back
    count_ = count;
    dead_ = dead;
    *corrupt = IsSpoolCorruption(rc);
    if (!*corrupt) FailedLocked(reason);
    return Status::Error(reason);
  }
  *dropped_out = dropped;
  LogSpoolDrops(dropped_dead, dropped);
  WorkedLocked();
  return Status::Ok();
}

int Spool::DropOldestLocked(std::size_t excess, std::size_t* dropped_dead,
                            std::size_t* dropped) {
  const int rc = DropOldestSpooled(db_, st_, excess, dead_, dropped_dead, dropped);
  if (rc != SQLITE_OK) return rc;
  dead_ -= *dropped_dead;
  count_ -= *dropped <= count_ ? *dropped : count_;
  return SQLITE_OK;
}

bool Spool::Oldest(SpooledEvent* event, std::int64_t after) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  sqlite3_bind_int64(st_.oldest, 1, static_cast<sqlite3_int64>(after));
  int rc = sqlite3_step(st_.oldest);
  if (rc == SQLITE_ROW) {
    event->id = SpoolColumnInt(st_.oldest, 0);
    event->key = SpoolColumnText(st_.oldest, 1);
    event->received_ms = SpoolColumnInt(st_.oldest, 2);
    event->payload = SpoolColumnText(st_.oldest, 3);
    event->resent = SpoolColumnInt(st_.oldest, 4) != 0;
  } else if (rc != SQLITE_DONE) {
    FailedLocked(SpoolReason(db_, rc));
  }
  sqlite3_reset(st_.oldest);
  return rc == SQLITE_ROW;
}

Status Spool::Remove(std::int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return Status::Error("the spool is closed");
  SpoolExec(db_, "PRAGMA synchronous = NORMAL");  // see the header: a lost removal is a resend
  sqlite3_bind_int64(st_.remove, 1, static_cast<sqlite3_int64>(id));
  int rc = sqlite3_step(st_.remove);
  sqlite3_reset(st_.remove);
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
  // One statement: the event moves from waiting to dead, the total (what
  // the bound counts) stays as it is.
  sqlite3_bind_int64(st_.mark_dead, 1, static_cast<sqlite3_int64>(id));
  sqlite3_bind_int64(st_.mark_dead, 2, static_cast<sqlite3_int64>(now_ms));
  const int rc = sqlite3_step(st_.mark_dead);
  sqlite3_reset(st_.mark_dead);
  if (rc != SQLITE_DONE) return FailureLocked(SpoolReason(db_, rc));
  if (sqlite3_changes(db_) > 0) {
    count_ -= count_ > 0 ? 1 : 0;
    dead_ += 1;
  }
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
  if (sqlite3_step(st_.oldest_time) == SQLITE_ROW) {
    counts.oldest_waiting_ms = SpoolColumnInt(st_.oldest_time, 0);
  }
  sqlite3_reset(st_.oldest_time);
  return counts;
}

void Spool::RefreshLocked() {
  // Our own commits keep count_ and dead_ right; only another connection's
  // (the operator's tool) changes data_version, and then we count again.
  if (db_ == nullptr) return;
  std::int64_t version = -1;
  if (sqlite3_step(st_.data_version) == SQLITE_ROW) version = SpoolColumnInt(st_.data_version, 0);
  sqlite3_reset(st_.data_version);
  if (version < 0 || version == seen_version_) return;
  if (sqlite3_step(st_.counts) == SQLITE_ROW) {
    count_ = static_cast<std::size_t>(SpoolColumnInt(st_.counts, 0));
    dead_ = static_cast<std::size_t>(SpoolColumnInt(st_.counts, 1));
    seen_version_ = version;
  }
  sqlite3_reset(st_.counts);
}

void Spool::FailedLocked(const std::string& reason) {
  failure_ = reason;
  if (failing_) return;
  failing_ = true;
  LogFormat("Error: Spool %s not writable - %s", path_.c_str(), reason.c_str());
}

void Spool::WorkedLocked() {
  if (!failing_) return;
  failing_ = false;
  LogFormat("Spool %s writable again", path_.c_str());
}
