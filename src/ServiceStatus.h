// ServiceStatus: what an operator sees of a running daemon. Counters of the
// events and firmware checks, the last check's time and outcome and the
// controller's version, sent to the service manager as a STATUS= line (only
// under one: sd_notify does nothing without NOTIFY_SOCKET) and, when
// NETWORKPROXY_METRICS_FILE names a file, written there in the Prometheus
// text format after each event and each check (ServiceFigures makes both
// texts).
//
// Threads: every member of ServiceStatus may be called from any thread at any
// time. StartServiceStatus runs on the main thread before the workers start.
#ifndef NETWORKPROXY_SERVICESTATUS_H_
#define NETWORKPROXY_SERVICESTATUS_H_

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "ReportAnswer.h"
#include "ServiceFigures.h"

// What became of one controller event; each event is counted once.
enum class EventResult {
  kDelivered,  // the server took it (a 2xx answer)
  kFailed,     // without the spool (or while it cannot keep events): the one
               // exchange failed and the event is gone
  kRejected,   // refused for good: the line could not be read whole, or the
               // server rejected it (a dead letter, with the spool)
  kDropped,    // the spool was full and dropped it unsent
};

// How one post went; an event may take many.
enum class AttemptResult {
  kOk,       // 2xx
  kFailed,   // no answer, a time-out, 3xx, 408, 425, 429, 5xx
  kRefused,  // any other 4xx (401 and 403 among them)
};

// The attempt an answer of that class counts as.
AttemptResult AttemptFor(AnswerClass answer);

// The spool's figures (only with a spool).
struct SpoolFigures {
  long waiting = 0;             // events waiting to be sent
  long dead_letters = 0;        // events the server rejected, kept aside
  std::int64_t oldest_ms = 0;   // reading time of the oldest waiting event; 0: none
};

class ServiceStatus {
 public:
  void SetControllerVersion(const std::string& version);

  // The spool's figures; the first call switches them on. Does not publish:
  // the caller does, or the next event or check.
  void SetSpoolFigures(const SpoolFigures& figures);

  // Counts one event settled without a post of its own (a line too long,
  // the spool full) and publishes.
  void NoteEvent(EventResult result);

  // Counts one post and, when it settled its event, the event (a delivered
  // one stamps the last delivery time); publishes.
  void NoteExchange(AttemptResult attempt, std::optional<EventResult> event);

  // Counts the event of the exchange that follows as a resent dead letter
  // delivered (see StatusSnapshot). Does not publish: NoteExchange does.
  void NoteDeadLetterDelivered();

  // Records a post that did not deliver at `when`, with its error line
  // (`logged_line`, without "Error: "). Does not publish: the exchange's
  // NoteExchange follows.
  void NoteReportFailure(std::time_t when, const std::string& logged_line);

  // Marks the running firmware check as failed with `logged_line` (the
  // error line as logged). The first failure of a check is the one shown.
  void NoteCheckFailure(const std::string& logged_line);

  // Ends a check at `when`: failed when NoteCheckFailure was called since the
  // last CheckEnded, else up to date. Counts it and publishes.
  void CheckEnded(std::time_t when);

  // Firmware installs and the hold; none publishes (the next event or
  // check does). NoteInstall counts the outcome of the last hand-off,
  // with `note` for the STATUS line when it installed; NoteCheckHeld gives
  // the running check's outcome in place of "up to date".
  void NoteInstall(bool installed, const std::string& note);
  void SetFirmwareHeld(bool held);
  void SetFirmwareFloor(const std::string& version);
  void NoteCheckHeld(const std::string& logged_line);

  // Where Publish writes the metrics; empty: nowhere.
  void SetMetricsFile(const std::string& path);

  // Sends STATUS= and rewrites the metrics file.
  void Publish();

  // Sends `text` as the STATUS= line as it is, leaving the figures and the
  // metrics file alone: the last word before the process hands over.
  void Announce(const std::string& text);

  StatusSnapshot Snapshot() const;

 private:
  void WriteMetrics(const std::string& path, const StatusSnapshot& figures);
  void CountLocked(EventResult result);

  mutable std::mutex mutex_;  // guards everything below
  StatusSnapshot figures_;
  std::string check_failure_;
  bool check_failed_ = false;
  std::string check_note_;  // NoteCheckHeld's line for the running check
  std::string metrics_file_;
  bool metrics_failing_ = false;  // the last write failed (logged once)
  std::mutex publish_mutex_;      // one publisher at a time, in order
};

// The daemon's one instance.
ServiceStatus& service_status();

// Puts the metrics file (NETWORKPROXY_METRICS_FILE; empty: none) and the
// controller's version into service_status() and publishes the first figures.
void StartServiceStatus(const std::string& metrics_file, const std::string& controller_version);

#endif  // NETWORKPROXY_SERVICESTATUS_H_
