// HandOffGuard: remembers the last firmware hand-off across restarts, so a
// controller that keeps reporting the old version after a hand-off (a script
// that failed to flash, a version answer that never matches) is not
// reflashed again every minute.
//
// The record is a small text file in the working directory: the version
// handed off on its first line, the time (seconds since the epoch) on its
// second. Threads: the update worker only.
#ifndef NETWORKPROXY_HANDOFFGUARD_H_
#define NETWORKPROXY_HANDOFFGUARD_H_

#include <chrono>
#include <ctime>
#include <string>

#include "Status.h"

// The record's file name, relative to the working directory.
constexpr const char* kHandOffRecordFile = "firmware-handoff.txt";

// How long a hand-off of one version holds back another of the same.
constexpr std::chrono::hours kHandOffGuardTime{1};

struct HandOffRecord {
  std::string version;
  std::time_t time = 0;
};

// Reads the record at `path`. False when there is none or it cannot be read
// as one (then no hand-off is held back).
bool ReadHandOffRecord(const char* path, HandOffRecord* record);

// Replaces the record at `path` whole (temporary file, synced, renamed).
Status WriteHandOffRecord(const char* path, const HandOffRecord& record);

// True when `record` holds back a hand-off of `version` at `now`: the same
// version was handed off less than kHandOffGuardTime before (or after, for a
// clock that was set back) `now`.
bool HandOffHeldBack(const HandOffRecord& record, const std::string& version, std::time_t now);

#endif  // NETWORKPROXY_HANDOFFGUARD_H_
