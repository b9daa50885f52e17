#include "SpoolIntake.h"

#include "EventLog.h"

std::size_t SpoolIntake::Take(const std::vector<LineEvent>& events) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const LineEvent& line : events) {
    SpooledEvent event;
    // Made now, not when stored: a memory event posted before it reaches the
    // spool goes under the key it keeps there.
    NewEventKey(&event.key);  // left empty on failure: the spool makes one
    event.received_ms = line.received_ms;
    event.payload = line.payload;
    memory_.push_back(std::move(event));
  }
  std::size_t dropped = StoreLocked();
  while (memory_.size() > kMaxMemoryEvents) {
    memory_.pop_front();
    LogLine("Memory queue full: dropped the oldest event");
    ++dropped;
  }
  return dropped;
}

std::size_t SpoolIntake::Store() {
  std::lock_guard<std::mutex> lock(mutex_);
  return StoreLocked();
}

std::size_t SpoolIntake::StoreLocked() {
  // The head being posted cannot be stored behind the sender's back, and
  // nothing may be stored ahead of it: all wait for the post to end.
  if (memory_.empty() || in_flight_) return 0;
  std::size_t dropped = 0;
  if (spool_.AddBatch(std::vector<SpooledEvent>(memory_.begin(), memory_.end()), &dropped).ok()) {
    memory_.clear();
    keeping_ = false;
    return dropped;
  }
  if (!keeping_) LogLine("Error: Spool cannot store events - keeping them in memory");
  keeping_ = true;
  return 0;
}

bool SpoolIntake::Next(SpooledEvent* event, bool* from_memory, std::int64_t after) {
  *from_memory = false;
  if (spool_.Oldest(event, after)) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (memory_.empty()) return false;
  *event = memory_.front();
  *from_memory = true;
  in_flight_ = true;
  return true;
}

void SpoolIntake::Finish(const std::string& key, bool settled) {
  std::lock_guard<std::mutex> lock(mutex_);
  in_flight_ = false;
  // The memory bound may have dropped it while it was posted.
  if (settled && !memory_.empty() && memory_.front().key == key) memory_.pop_front();
}

std::size_t SpoolIntake::InMemory() {
  std::lock_guard<std::mutex> lock(mutex_);
  return memory_.size();
}
