// HandOffGuard: remembers the last firmware hand-off across restarts, so a
// controller that keeps reporting the old version after a hand-off (a script
// that failed to flash, a version answer that never matches) is not
// reflashed again every minute, and after kMaxInstallAttempts failed
// installs of one version not at all: that version is held.
//
// The record is a small text file in the working directory: the version
// handed off on its first line, the time (seconds since the epoch) on its
// second (all the update script reads), then how many times in a row that
// version was handed off, and what became of the last hand-off. A record
// of two lines, as older daemons wrote it, is a first hand-off, pending.
// The hold is a file of its own naming the held version, so that the
// operator's tool ends a hold by removing it, even as root, while the daemon
// runs. Threads: the update worker, or the main thread before it starts.
#ifndef NETWORKPROXY_HANDOFFGUARD_H_
#define NETWORKPROXY_HANDOFFGUARD_H_

#include <chrono>
#include <ctime>
#include <string>

#include "Status.h"

// The record's and the hold's file names, relative to the working directory.
constexpr const char* kHandOffRecordFile = "firmware-handoff.txt";
constexpr const char* kHeldVersionFile = "firmware-held.txt";

// How long a hand-off of one version holds back another of the same.
constexpr std::chrono::hours kHandOffGuardTime{1};

// How many hand-offs in a row of one version may fail before it is held.
constexpr int kMaxInstallAttempts = 3;

// What became of the last hand-off, as the record and the tool write it.
constexpr const char* kHandOffPending = "pending";      // no start has told yet
constexpr const char* kHandOffInstalled = "installed";  // the controller reports it
constexpr const char* kHandOffFailed = "failed";        // it reports another version

struct HandOffRecord {
  std::string version;
  std::time_t time = 0;
  int attempts = 1;
  std::string result = kHandOffPending;
};

// Reads the record from its text. False when it is not one (then no
// hand-off is held back).
bool ParseHandOffRecord(const std::string& text, HandOffRecord* record);

// Reads the record at `path` (no symbolic link followed, a regular file
// only). False when there is none or it cannot be read as one.
bool ReadHandOffRecord(const char* path, HandOffRecord* record);

// Replaces the record at `path` whole (temporary file, synced, renamed).
Status WriteHandOffRecord(const char* path, const HandOffRecord& record);

// True when `record` holds back a hand-off of `version` at `now`: the same
// version was handed off less than kHandOffGuardTime before (or after, for a
// clock that was set back) `now`.
bool HandOffHeldBack(const HandOffRecord& record, const std::string& version, std::time_t now);

// The attempt a new hand-off of `version` is, after `last` (null: none):
// one more of the same version, or 1 for another version or once a hold
// has been ended (a failed record at the most attempts).
int NextHandOffAttempt(const HandOffRecord* last, const std::string& version);

// True when a failed `record` has used up its attempts: its version is to
// be held.
bool ShouldHold(const HandOffRecord& record);

// The held version at `path`; empty when none (or the file is not a
// regular file holding a usable first line).
std::string ReadHeldVersion(const char* path);

// Holds `version`: replaces the file at `path` whole.
Status HoldVersion(const char* path, const std::string& version);

// Ends the hold: removes `path` when it is a regular file (a link is never
// followed: removing a name never does); no file is no error.
Status EndHold(const char* path);

// The line that tells a hand-off of `record` did not install: "Error:
// Update to <v> was handed off at <local time>; the controller still
// reports <x>" (x: `controller`, or "no version").
std::string StillOldLine(const HandOffRecord& record, const std::string& controller);

// "Firmware <v> held after 3 failed installs - publish a newer version or
// run networkproxyctl firmware retry".
std::string HeldLine(const std::string& version);

#endif  // NETWORKPROXY_HANDOFFGUARD_H_
