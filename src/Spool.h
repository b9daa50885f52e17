// Spool: the events that wait for the reporting server, kept in one SQLite
// database file so that they outlive a server or network outage, a crash
// and a power cut.
//
// Durability: the database runs in WAL mode with synchronous=FULL for new
// events, so an event is on the disk before Add (or AddBatch, one sync for
// a batch) returns. WAL mode alone
// already keeps every committed event through kill -9 (the commit is in the
// operating system's hands) and keeps the file openable through a power cut
// (a torn WAL tail is ignored on recovery); FULL adds that an event read
// just before a power cut is not lost with it, at the price of one fsync per
// commit; the serial worker commits what it read together (AddBatch), so a
// slow disk (10-50 ms a sync) still takes a burst at the line's rate. Removing a delivered event is committed with
// synchronous=NORMAL: losing that commit in a power cut only means the event
// is posted again under the same key, which the server is told to expect.
//
// Dead letters: an event the server rejected for good stays in the file,
// marked dead (MarkDead): never sent again by itself, kept through restarts,
// and counted toward the spool's bound with the waiting events: at the
// bound the oldest dead letter goes before the oldest waiting event. The operator's
// tool lists, resends or purges them through SpoolFile (below), from a
// process of its own while the daemon runs; the counts here follow such
// changes (SQLite's data_version tells when another connection wrote).
//
// Faults: a file that is not an SQLite database, is not a spool, or fails
// its integrity check is moved aside as <path>.corrupt-<YYYYmmdd-HHMMSS>
// (the reason logged) and a new spool started in its place. A spool that
// cannot be created or written is logged once when it fails and once when a
// write succeeds again (the spool's own lines: it alone knows when a spell
// of failures begins and ends); meanwhile Add fails with the reason and the
// caller keeps the event elsewhere (SpoolIntake.h). Nothing here ends the
// process or throws.
//
// Threads: every method may be called from any thread; one mutex serialises
// them (each is short: one statement or one small transaction).
#ifndef NETWORKPROXY_SPOOL_H_
#define NETWORKPROXY_SPOOL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Status.h"

#include "EventStamp.h"
#include "SpoolDatabase.h"

struct sqlite3;
struct sqlite3_stmt;

// One kept event.
struct SpooledEvent {
  std::int64_t id = 0;           // order of arrival; never reused
  std::string key;               // random UUID (version 4), the idempotency key
  std::int64_t received_ms = 0;  // when the line was read, ms since the epoch (UTC)
  std::string payload;           // the event payload as read from the line
  std::int64_t dead_ms = 0;      // when it was set aside as a dead letter; 0: waiting
  bool resent = false;           // a dead letter the operator put back to waiting
};

// What a spool holds.
struct SpoolCounts {
  std::size_t waiting = 0;
  std::size_t dead = 0;
  std::int64_t oldest_waiting_ms = 0;  // reading time of the oldest waiting; 0: none
};

class Spool {
 public:
  // Opens (creating when missing) the spool at `path`, relative to the
  // working directory when relative, keeping at most `max_events` (at least
  // 1), waiting events and dead letters together. Logs what it found and
  // any fault; a spool that cannot be opened leaves the object usable (Add
  // retries).
  Spool(const std::string& path, std::size_t max_events);
  ~Spool();

  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Commits `payload` read at `received_ms` under a new key. At the bound,
  // the oldest dead letter is dropped first ("Spool full: dropped the
  // oldest dead letter"), else the oldest waiting event ("Spool full:
  // dropped the oldest event"); `dropped` (may be null) receives how many
  // waiting events were. Fails, with the reason, when it was not kept.
  Status Add(const std::string& payload, std::int64_t received_ms,
             std::size_t* dropped = nullptr);

  // Commits `events` in their order, in one transaction (one sync): all
  // of them or, failing, none. Each keeps its key (a new one when empty)
  // and reading time; ids are the spool's. The bound and `dropped` as for Add.
  Status AddBatch(const std::vector<SpooledEvent>& events, std::size_t* dropped = nullptr);

  // The oldest waiting event with an id above `after` into `event`. False
  // when none waits or the spool cannot be read (that is logged once, as a
  // write failure is): to the sender both mean there is nothing to post now.
  bool Oldest(SpooledEvent* event, std::int64_t after = 0);

  // Removes the event `id` (gone already counts as removed). Fails, with
  // the reason, when the spool could not be written.
  Status Remove(std::int64_t id);

  // Sets the waiting event `id` aside as a dead letter at `now_ms`. Gone
  // already counts as done. Fails, with the reason, when the spool could
  // not be written.
  Status MarkDead(std::int64_t id, std::int64_t now_ms);

  // Events waiting.
  std::size_t Count();

  // Waiting events, dead letters and the oldest waiting event's time.
  SpoolCounts Counts();

  // Closes the database (the stop on SIGTERM): its WAL goes back into the
  // file. A later Add opens it again.
  void Close();

 private:
  bool OpenLocked();
  bool SetUpLocked(std::string* reason, bool* corrupt);
  void CloseLocked();
  bool MoveAsideLocked(const std::string& reason);
  Status AddLocked(const std::vector<SpooledEvent>& events, bool* corrupt, std::size_t* dropped);
  Status FailureLocked(const std::string& reason);
  int DropOldestLocked(std::size_t excess, std::size_t* dropped_dead, std::size_t* dropped);
  void RefreshLocked();
  void FailedLocked(const std::string& reason);
  void WorkedLocked();

  std::mutex mutex_;
  const std::string path_;
  const std::size_t max_events_;
  sqlite3* db_ = nullptr;
  SpoolStatements st_;
  std::size_t count_ = 0;  // waiting
  std::size_t dead_ = 0;
  std::int64_t seen_version_ = -1;  // data_version when count_ and dead_ were read
  bool failing_ = false;  // the last write failed (logged once per change)
  std::string failure_;   // why the spool could not be opened, last time
};

// For a second process (the operator's tool): an existing spool file,
// opened without creating it and never moved aside, safe to use while the
// daemon runs. SQLite's locking keeps the two apart (each statement waits up
// to kSpoolBusyTimeoutMs for the other's lock), and only dead letters are
// ever changed here: the event the daemon's sender is posting is a waiting
// one, so it is never touched.
//
// Threads: one thread at a time per object. Each call is one statement or
// one short transaction.
enum class SpoolAccess { kReadOnly, kReadWrite };

// The reasons SpoolFile fails with for a file that is not a plain spool
// (a link, a FIFO, not SQLite, events not a table) and for one locked or
// kept at work too long.
constexpr const char* kSpoolNotASpoolFile = "not a spool file";
constexpr const char* kSpoolBusy = "busy";
constexpr int kSpoolWorkLimitMs = 2000;
enum class SpoolList { kWaiting, kDead };

class SpoolFile {
 public:
  // Opens the spool at `path` into `file`. A read-write open upgrades a
  // spool written by an older daemon in place (its events kept, waiting); a
  // read-only one reads it as it is. Fails (the reason in the Status) for a
  // missing file, one SQLite cannot open, and with kSpoolNotASpoolFile or
  // kSpoolBusy (below).
  //
  // The tool runs as root over a folder the service user can write, so the
  // file is taken for what it is, never trusted: only a regular file, never
  // through a symbolic link (nor its -wal or -shm), is opened, so a FIFO
  // cannot block the open; the schema's own code (views, triggers) may use
  // no function that is not harmless; events must be a table; and every
  // call gives up after kSpoolWorkLimitMs of work besides the lock wait.
  static Status Open(const std::string& path, SpoolAccess access,
                     std::unique_ptr<SpoolFile>* file);
  ~SpoolFile();

  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  // Up to `limit` (0: all) waiting events or dead letters, oldest first.
  Status List(SpoolList which, std::size_t limit, std::vector<SpooledEvent>* events);

  // Every dead letter back to waiting, keeping its key and reading time: they
  // are sent next, in their order. `resent` (may be null) receives how many.
  Status ResendDead(std::size_t* resent);

  // Removes every dead letter; `purged` (may be null) receives how many.
  Status PurgeDead(std::size_t* purged);

  // Waiting events, dead letters and the oldest waiting event's time.
  Status Counts(SpoolCounts* counts);

  // SQLite's quick integrity check: "ok", or what it found, into `verdict`.
  Status QuickCheck(std::string* verdict);

 private:
  explicit SpoolFile(sqlite3* db) : db_(db) {}
  Status SetUp(SpoolAccess access);
  Status Change(const char* sql, std::size_t* changed);
  Status Failure(int rc) const;
  void StartWork();
  static int OverTime(void* self);

  sqlite3* db_;
  bool has_dead_ = false;  // false: an older spool opened read-only, no dead letters
  std::chrono::steady_clock::time_point deadline_;  // of the call under way
};

#endif  // NETWORKPROXY_SPOOL_H_
