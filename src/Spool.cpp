#include "Spool.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "EventLog.h"

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: an id in flight stays unique
    " key TEXT NOT NULL,"
    " received_ms INTEGER NOT NULL,"
    " payload BLOB NOT NULL)";
constexpr const char* kInsert =
    "INSERT INTO events (key, received_ms, payload) VALUES (?1, ?2, ?3)";
constexpr const char* kDropOldest =
    "DELETE FROM events WHERE id IN (SELECT id FROM events ORDER BY id LIMIT ?1)";
constexpr const char* kOldest =
    "SELECT id, key, received_ms, payload FROM events ORDER BY id LIMIT 1";
constexpr const char* kRemove = "DELETE FROM events WHERE id = ?1";

// Page cache of the connection: the spool reads from one end and writes at
// the other, so a large cache buys nothing and would grow with the backlog.
constexpr const char* kCacheSize = "PRAGMA cache_size = -256";  // KiB
// Another process (an operator's sqlite3 shell) may hold a lock briefly.
constexpr int kBusyTimeoutMs = 2000;

bool IsCorruption(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// SQLite's words for the last failure on `db`, with the system's text when
// an operating system call was behind it.
std::string Reason(sqlite3* db, int code) {
  std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  const int system_error = db != nullptr ? sqlite3_system_errno(db) : 0;
  if (system_error != 0 && (code & 0xff) != SQLITE_CORRUPT && (code & 0xff) != SQLITE_NOTADB) {
    reason += ": ";
    reason += std::strerror(system_error);
  }
  return reason;
}

// Runs `sql`; the first column of its first row, if any, goes to `first`.
int Exec(sqlite3* db, const char* sql, std::string* first = nullptr) {
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

std::int64_t ColumnInt(sqlite3_stmt* statement, int column) {
  return static_cast<std::int64_t>(sqlite3_column_int64(statement, column));
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Why `path` could not be opened. SQLite's own errno is that of its last
// attempt (a read-only open after the read-write one failed), so a folder
// that cannot be written is asked about directly.
std::string OpenFailure(sqlite3* db, int code, const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0                ? "/"
                                                         : path.substr(0, slash);
  if ((code & 0xff) == SQLITE_CANTOPEN && access(folder.c_str(), W_OK) != 0) {
    const int error = errno;
    return std::string(sqlite3_errstr(code)) + ": " + folder + ": " + std::strerror(error);
  }
  return Reason(db, code);
}

}  // namespace

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
    *corrupt = IsCorruption(code);
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc, OpenFailure(db_, rc, path_));
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);

  std::string mode;
  rc = Exec(db_, "PRAGMA journal_mode = WAL", &mode);
  if (rc != SQLITE_OK) return fail(rc, Reason(db_, rc));
  if (mode != "wal") return fail(SQLITE_CANTOPEN, "cannot use a write-ahead log (" + mode + ")");
  if ((rc = Exec(db_, "PRAGMA synchronous = FULL")) != SQLITE_OK ||
      (rc = Exec(db_, kCacheSize)) != SQLITE_OK) {
    return fail(rc, Reason(db_, rc));
  }

  std::string check;
  rc = Exec(db_, "PRAGMA quick_check", &check);
  if (rc != SQLITE_OK) return fail(rc, Reason(db_, rc));
  if (check != "ok") return fail(SQLITE_CORRUPT, "integrity check: " + check);

  if ((rc = Exec(db_, kSchema)) != SQLITE_OK) return fail(rc, Reason(db_, rc));
  const struct {
    const char* sql;
    sqlite3_stmt** statement;
  } statements[] = {{kInsert, &insert_}, {kDropOldest, &drop_oldest_},
                    {kOldest, &oldest_}, {kRemove, &remove_}};
  for (const auto& s : statements) {
    rc = sqlite3_prepare_v3(db_, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.statement, nullptr);
    // A database whose "events" table has other columns is somebody else's.
    if ((rc & 0xff) == SQLITE_ERROR) return fail(SQLITE_NOTADB, "not a spool: " + Reason(db_, rc));
    if (rc != SQLITE_OK) return fail(rc, Reason(db_, rc));
  }

  std::string count;
  if ((rc = Exec(db_, "SELECT count(*) FROM events", &count)) != SQLITE_OK) {
    return fail(rc, Reason(db_, rc));
  }
  count_ = static_cast<std::size_t>(std::strtoull(count.c_str(), nullptr, 10));
  if (count_ > max_events_) {
    // The bound was lowered since the events were kept.
    const std::size_t excess = count_ - max_events_;
    sqlite3_bind_int64(drop_oldest_, 1, static_cast<sqlite3_int64>(excess));
    rc = sqlite3_step(drop_oldest_);
    sqlite3_reset(drop_oldest_);
    if (rc != SQLITE_DONE) return fail(rc, Reason(db_, rc));
    count_ -= static_cast<std::size_t>(sqlite3_changes(db_));
    LogFormat("Spool full: dropped the %zu oldest events, over the bound of %zu", excess,
              max_events_);
  }
  return true;
}

void Spool::CloseLocked() {
  for (sqlite3_stmt** statement : {&insert_, &drop_oldest_, &oldest_, &remove_}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
  sqlite3_close(db_);  // a null handle is fine; nothing is left unfinalised
  db_ = nullptr;
  count_ = 0;
}

bool Spool::MoveAsideLocked(const std::string& reason) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32] = {0};
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string aside = path_ + ".corrupt-" + stamp;
  // A second fault within the same second keeps the first file too.
  for (int n = 1; Exists(aside); ++n) aside = path_ + ".corrupt-" + stamp + "-" + std::to_string(n);

  if (std::rename(path_.c_str(), aside.c_str()) != 0) {
    const int error = errno;
    FailedLocked(reason + "; cannot be moved aside: " + std::strerror(error));
    return false;
  }
  // The log belongs to the file it was written for; the shared-memory index
  // is rebuilt from scratch.
  if (Exists(path_ + "-wal")) std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
  unlink((path_ + "-shm").c_str());
  LogFormat("Error: Spool %s unusable - %s; moved aside as %s", path_.c_str(), reason.c_str(),
            aside.c_str());
  return true;
}

bool Spool::Add(const std::string& payload, std::int64_t received_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr && !OpenLocked()) return false;
  bool corrupt = false;
  if (AddLocked(payload, received_ms, &corrupt)) return true;
  // A file that went bad under us is replaced like one found bad at start.
  if (!corrupt) return false;
  CloseLocked();
  if (!MoveAsideLocked("found corrupt while adding an event") || !OpenLocked()) return false;
  return AddLocked(payload, received_ms, &corrupt);
}

bool Spool::AddLocked(const std::string& payload, std::int64_t received_ms, bool* corrupt) {
  std::string key;
  if (!NewEventKey(&key)) {
    FailedLocked("no random bytes for the event's key");
    return false;
  }
  std::size_t dropped = 0;
  int rc = Exec(db_, "BEGIN IMMEDIATE");
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
    if (rc == SQLITE_DONE) rc = Exec(db_, "COMMIT");
  }
  if (rc != SQLITE_OK) {
    const std::string reason = Reason(db_, rc);
    Exec(db_, "ROLLBACK");  // fails harmlessly when SQLite already rolled back
    *corrupt = IsCorruption(rc);
    if (!*corrupt) FailedLocked(reason);
    return false;
  }
  count_ = count_ - dropped + 1;
  for (std::size_t i = 0; i < dropped; ++i) LogLine("Spool full: dropped the oldest event");
  WorkedLocked();
  return true;
}

bool Spool::Oldest(SpooledEvent* event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  int rc = sqlite3_step(oldest_);
  if (rc == SQLITE_ROW) {
    event->id = ColumnInt(oldest_, 0);
    event->key = ColumnText(oldest_, 1);
    event->received_ms = ColumnInt(oldest_, 2);
    event->payload = ColumnText(oldest_, 3);
  } else if (rc != SQLITE_DONE) {
    FailedLocked(Reason(db_, rc));
  }
  sqlite3_reset(oldest_);
  return rc == SQLITE_ROW;
}

bool Spool::Remove(std::int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  Exec(db_, "PRAGMA synchronous = NORMAL");  // see the header: a lost removal is a resend
  sqlite3_bind_int64(remove_, 1, static_cast<sqlite3_int64>(id));
  int rc = sqlite3_step(remove_);
  sqlite3_reset(remove_);
  const std::size_t removed =
      rc == SQLITE_DONE ? static_cast<std::size_t>(sqlite3_changes(db_)) : 0;
  const std::string reason = rc == SQLITE_DONE ? std::string() : Reason(db_, rc);
  Exec(db_, "PRAGMA synchronous = FULL");
  if (rc != SQLITE_DONE) {
    FailedLocked(reason);
    return false;
  }
  count_ -= removed <= count_ ? removed : count_;
  WorkedLocked();
  return true;
}

std::size_t Spool::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

void Spool::FailedLocked(const std::string& reason) {
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
