// Spool: the events that wait for the reporting server, kept in one SQLite
// database file so that they outlive a server or network outage, a crash
// and a power cut.
//
// Durability: the database runs in WAL mode with synchronous=FULL for new
// events, so an event is on the disk before Add returns. WAL mode alone
// already keeps every committed event through kill -9 (the commit is in the
// operating system's hands) and keeps the file openable through a power cut
// (a torn WAL tail is ignored on recovery); FULL adds that an event read
// just before a power cut is not lost with it, at the price of one fsync per
// event, which the controller's rate (about 24 lines a second at most) can
// afford many times over. Removing a delivered event is committed with
// synchronous=NORMAL: losing that commit in a power cut only means the event
// is posted again under the same key, which the server is told to expect.
//
// Faults: a file that is not an SQLite database, is not a spool, or fails
// its integrity check is moved aside as <path>.corrupt-<YYYYmmdd-HHMMSS>
// (the reason logged) and a new spool started in its place. A spool that
// cannot be created or written is logged once when it fails and once when a
// write succeeds again; meanwhile Add returns false and the caller posts the
// event directly. Nothing here ends the process or throws.
//
// Threads: every method may be called from any thread; one mutex serialises
// them (each is short: one statement or one small transaction).
#ifndef NETWORKPROXY_SPOOL_H_
#define NETWORKPROXY_SPOOL_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "EventStamp.h"

struct sqlite3;
struct sqlite3_stmt;

// One waiting event.
struct SpooledEvent {
  std::int64_t id = 0;           // order of arrival; never reused
  std::string key;               // random UUID (version 4), the idempotency key
  std::int64_t received_ms = 0;  // when the line was read, ms since the epoch (UTC)
  std::string payload;           // the event payload as read from the line
};

class Spool {
 public:
  // Opens (creating when missing) the spool at `path`, relative to the
  // working directory when relative, keeping at most `max_events` (at least
  // 1). Logs what it found and any fault; a spool that cannot be opened
  // leaves the object usable (Add retries).
  Spool(const std::string& path, std::size_t max_events);
  ~Spool();

  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Commits `payload` read at `received_ms` under a new key. At the bound,
  // the oldest waiting event is dropped first ("Spool full: dropped the
  // oldest event"). False when it was not kept.
  bool Add(const std::string& payload, std::int64_t received_ms);

  // The oldest waiting event into `event`. False when none waits or the
  // spool cannot be read.
  bool Oldest(SpooledEvent* event);

  // Removes the event `id` (gone already counts as removed). False when the
  // spool could not be written.
  bool Remove(std::int64_t id);

  // Events waiting.
  std::size_t Count();

  // Closes the database (the stop on SIGTERM): its WAL goes back into the
  // file. A later Add opens it again.
  void Close();

 private:
  bool OpenLocked();
  bool SetUpLocked(std::string* reason, bool* corrupt);
  void CloseLocked();
  bool MoveAsideLocked(const std::string& reason);
  bool AddLocked(const std::string& payload, std::int64_t received_ms, bool* corrupt);
  void FailedLocked(const std::string& reason);
  void WorkedLocked();

  std::mutex mutex_;
  const std::string path_;
  const std::size_t max_events_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* drop_oldest_ = nullptr;
  sqlite3_stmt* oldest_ = nullptr;
  sqlite3_stmt* remove_ = nullptr;
  std::size_t count_ = 0;
  bool failing_ = false;  // the last write failed (logged once per change)
};

#endif  // NETWORKPROXY_SPOOL_H_
