// ServiceStatus: what an operator sees of a running daemon. Counters of the
// events and firmware checks, the last check's time and outcome and the
// controller's version, sent to the service manager as a STATUS= line (only
// under one: sd_notify does nothing without NOTIFY_SOCKET) and, when
// NETWORKPROXY_METRICS_FILE names a file, written there in the Prometheus
// text format after each event and each check.
//
// Threads: every member of ServiceStatus may be called from any thread at any
// time. StartServiceStatus runs on the main thread before the workers start.
#ifndef NETWORKPROXY_SERVICESTATUS_H_
#define NETWORKPROXY_SERVICESTATUS_H_

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

// What became of one controller event.
enum class EventResult {
  kReported,  // the server took it
  kFailed,    // the exchange failed (network, curl, server)
  kRejected,  // dropped: the line could not be read whole, or the server
              // refused it for good (4xx, with the spool)
};

// A consistent copy of the figures.
struct StatusSnapshot {
  std::uint64_t reported = 0;
  std::uint64_t failed = 0;
  std::uint64_t rejected = 0;
  long spool_waiting = -1;  // -1: no spool
  std::uint64_t checks_ok = 0;
  std::uint64_t checks_failed = 0;
  std::time_t last_check = 0;  // 0: no check has ended yet
  std::string last_check_outcome;
  std::string controller_version;
};

class ServiceStatus {
 public:
  void SetControllerVersion(const std::string& version);

  // Events waiting in the spool; the first call switches the spool's
  // figures on. Does not publish: the next event or check does.
  void SetSpoolWaiting(long waiting);

  // Counts one event and publishes.
  void NoteEvent(EventResult result);

  // Marks the running firmware check as failed with `logged_line` (the
  // error line as logged). The first failure of a check is the one shown.
  void NoteCheckFailure(const std::string& logged_line);

  // Ends a check at `when`: failed when NoteCheckFailure was called since the
  // last CheckEnded, else up to date. Counts it and publishes.
  void CheckEnded(std::time_t when);

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

  mutable std::mutex mutex_;  // guards everything below
  StatusSnapshot figures_;
  std::string check_failure_;
  bool check_failed_ = false;
  std::string metrics_file_;
  bool metrics_failing_ = false;  // the last write failed (logged once)
  std::mutex publish_mutex_;      // one publisher at a time, in order
};

// The daemon's one instance.
ServiceStatus& service_status();

// Reads NETWORKPROXY_METRICS_FILE and the controller's version into
// service_status() and publishes the first figures.
void StartServiceStatus();

// "1,234 events reported, 2 failed[, 1 rejected][, 3 waiting]; firmware
// 1.0.8 checked 12:31:05, up to date" (local time), without "STATUS=".
std::string StatusLine(const StatusSnapshot& figures);

// The figures in the Prometheus text exposition format, every metric with its
// HELP and TYPE lines.
std::string MetricsText(const StatusSnapshot& figures);

// Replaces `path` with `text` through a temporary file in the same folder, so
// a reader sees the old or the new file, never part of one. The file is
// world-readable (0644) for the collector. Returns false with errno set.
bool WriteFileAtomically(const std::string& path, const std::string& text);

#endif  // NETWORKPROXY_SERVICESTATUS_H_
