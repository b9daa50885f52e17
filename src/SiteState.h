// SiteState: what networkproxyctl status shows of a site's daemon, read
// from the metrics file the daemon rewrites after each event and check (and
// the spool's own figures, which are current even with the daemon stopped),
// and written as text for an operator or as JSON for a program.
//
// Plain values and pure functions; any thread.
#ifndef NETWORKPROXY_SITESTATE_H_
#define NETWORKPROXY_SITESTATE_H_

#include <cstdint>
#include <ctime>
#include <string>

#include "Status.h"

struct SiteState {
  std::string firmware_version;  // the controller's; empty when unknown
  std::time_t check_time = 0;    // when the last firmware check ended; 0: none yet
  std::string check_result;      // "ok" or "failed"; empty: unknown
  std::string check_reason;      // "up to date" or the failed step's line
  std::uint64_t delivered = 0;
  std::uint64_t rejected = 0;
  std::uint64_t dropped = 0;
  std::uint64_t failed = 0;      // lost without a spool
  std::uint64_t waiting = 0;
  std::uint64_t dead_letters = 0;
  std::time_t oldest_waiting = 0;  // when the oldest waiting event was read; 0: none
  std::time_t last_delivery = 0;   // 0: none since the daemon started
  // The last firmware hand-off, from the daemon's hand-off record.
  std::string handoff_version;     // empty: none
  std::time_t handoff_time = 0;
  std::string handoff_result;      // "pending", "installed" or "failed"
};

// Fills `state` from the text of a metrics file (the Prometheus text
// format). Metrics it does not know are skipped; a sample line it cannot
// read fails with "line <n>: <why>". Counts and times are clamped to what
// they can be (0 up to 2^53, and up to the end of year 9999): negative
// values and NaN read as 0, huge ones and infinity as the most.
Status ReadMetricsText(const std::string& text, SiteState* state);

// Fills the last hand-off of `state` from the hand-off record in the
// current folder (no link followed); none leaves it empty.
void ReadLastHandOff(SiteState* state);

// The last hand-off: "1.0.9 at 2026-12-09T08:00:00Z, installed", or "none".
std::string LastHandOffText(const SiteState& state);

// The state as one JSON object: firmware_version, last_firmware_check
// {time, result, reason}, events {delivered, rejected, dropped, waiting,
// failed}, dead_letters, oldest_waiting_seconds (at `now`), last_delivery,
// last_handoff {version, time, result}; what is not known is null.
std::string SiteStateJson(const SiteState& state, std::time_t now);

// The same for a person, one figure a line. Texts from the file show
// their control bytes as \xNN in both forms (PrintableText).
std::string SiteStateText(const SiteState& state, std::time_t now);

#endif  // NETWORKPROXY_SITESTATE_H_
