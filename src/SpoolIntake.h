// SpoolIntake: where the events read from the controller go with store and
// forward on: into the Spool, in batches, or, while the spool cannot store
// them (a full disk, a folder that cannot be written), into a queue in
// memory, so that nothing is lost and the reading thread never posts or
// waits on the network.
//
// Order: events in memory are newer than every event in the spool (they
// came after it failed) and older than every event read since; while any
// waits in memory, new events queue behind them, and the next store that
// works takes the memory queue first, then the newer ones, in one batch.
// An event keeps its key and reading time from the moment it was read.
//
// The memory queue holds at most kMaxMemoryEvents; beyond that its oldest
// goes ("Memory queue full: dropped the oldest event"). The spell of
// keeping events in memory is logged once, when it starts ("Error: Spool
// cannot store events - keeping them in memory"); it ends at the first
// store that works.
//
// Threads: Take is the reading thread's; Store, Next and Finish are the
// sender's. One mutex keeps the queue; it is held across a spool commit
// (milliseconds), never across a post. The event the sender posts from
// memory stays at the queue's head and is not stored meanwhile, so it is
// never both posted from memory and kept in the spool.
#ifndef NETWORKPROXY_SPOOLINTAKE_H_
#define NETWORKPROXY_SPOOLINTAKE_H_

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "EventStamp.h"
#include "Spool.h"

constexpr std::size_t kMaxMemoryEvents = 1000;

class SpoolIntake {
 public:
  // `spool` must outlive the intake.
  explicit SpoolIntake(Spool& spool) : spool_(spool) {}

  SpoolIntake(const SpoolIntake&) = delete;
  SpoolIntake& operator=(const SpoolIntake&) = delete;

  // Gives each of `events` a key and keeps them, in order: committed to the
  // spool in one batch, or queued in memory. Returns how many waiting
  // events the bounds dropped (the spool's and the memory queue's).
  std::size_t Take(const std::vector<LineEvent>& events);

  // Stores what waits in memory if the spool takes it now; returns how many
  // waiting events the spool's bound dropped.
  std::size_t Store();

  // The oldest event to post: the spool's oldest waiting one with an id
  // above `after`, else the head of the memory queue (`from_memory` set;
  // Finish must follow). False when none waits.
  bool Next(SpooledEvent* event, bool* from_memory, std::int64_t after = 0);

  // After posting the memory event `key`: `settled` (delivered or rejected
  // for good) takes it out of the queue; else it stays at the head.
  void Finish(const std::string& key, bool settled);

  // Events waiting in memory.
  std::size_t InMemory();

 private:
  std::size_t StoreLocked();

  Spool& spool_;
  std::mutex mutex_;
  std::deque<SpooledEvent> memory_;
  bool in_flight_ = false;  // the sender posts memory_.front()
  bool keeping_ = false;    // in a spell of keeping events in memory
};

#endif  // NETWORKPROXY_SPOOLINTAKE_H_
