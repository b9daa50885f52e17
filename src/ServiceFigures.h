// ServiceFigures: the daemon's figures as an operator reads them: the
// STATUS= line and the metrics file's text in the Prometheus exposition
// format. Plain functions of a copy of the figures, safe on any thread.
#ifndef NETWORKPROXY_SERVICEFIGURES_H_
#define NETWORKPROXY_SERVICEFIGURES_H_

#include <cstdint>
#include <ctime>
#include <string>

// A consistent copy of the figures.
struct StatusSnapshot {
  std::uint64_t delivered = 0;
  std::uint64_t failed = 0;
  std::uint64_t rejected = 0;
  std::uint64_t dropped = 0;
  std::uint64_t attempts_ok = 0;
  std::uint64_t attempts_failed = 0;
  std::uint64_t attempts_refused = 0;
  std::time_t last_delivery = 0;  // 0: nothing delivered yet
  long spool_waiting = -1;  // -1: no spool
  long spool_dead_letters = 0;
  std::int64_t spool_oldest_ms = 0;
  std::uint64_t checks_ok = 0;
  std::uint64_t checks_failed = 0;
  std::time_t last_check = 0;  // 0: no check has ended yet
  std::string last_check_outcome;
  std::string controller_version;
  // The last post that did not deliver: when, and its error line without
  // "Error: ", control bytes as \xNN, URL queries redacted. Kept after
  // later deliveries: it carries its own time.
  std::time_t last_report_failure = 0;  // 0: none since the start
  std::string last_report_failure_reason;
  // Dead letters the operator resent that were then delivered: counted in
  // `delivered`, and still in `rejected`, which as a Prometheus counter
  // never goes down. What is shown as rejected is the difference.
  std::uint64_t dead_letters_delivered = 0;
  // Firmware installs, told at the start after a hand-off, and the hold.
  std::uint64_t installs_ok = 0;
  std::uint64_t installs_failed = 0;
  bool firmware_held = false;
  std::string firmware_floor;  // empty: none
  std::string install_note;    // "Firmware 1.0.9 installed", for the STATUS line
};

// Without a spool "1,234 events delivered, 2 failed[, 1 rejected]; firmware
// 1.0.8 checked 12:31:05, up to date" (local time); with one "5 events
// delivered[, 1 failed], 0 rejected[, 3 dropped], 2 waiting; firmware ...".
// "1 event" in the singular; rejected as RejectedNow; "; Firmware 1.0.9
// installed" at the end after an install. Without "STATUS=".
std::string StatusLine(const StatusSnapshot& figures);

// Rejected events less those delivered later (resent dead letters), never
// below 0.
std::uint64_t RejectedNow(const StatusSnapshot& figures);

// The figures in the Prometheus text exposition format, every metric with its
// HELP and TYPE lines.
std::string MetricsText(const StatusSnapshot& figures);

#endif  // NETWORKPROXY_SERVICEFIGURES_H_
