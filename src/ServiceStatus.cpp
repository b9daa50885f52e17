#include "ServiceStatus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>
#ifdef NETWORKPROXY_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "WriteAll.h"
#include "EventLog.h"
#include "ImageFile.h"
#include "Intervals.h"
#include "PrintableText.h"
#include "SafeReason.h"

namespace {

constexpr const char* kUpToDate = "up to date";

}  // namespace

void ServiceStatus::SetControllerVersion(const std::string& version) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.controller_version = version;
}

AttemptResult AttemptFor(AnswerClass answer) {
  switch (answer) {
    case AnswerClass::kDelivered: return AttemptResult::kOk;
    case AnswerClass::kRefused:
    case AnswerClass::kRejected: return AttemptResult::kRefused;
    default: return AttemptResult::kFailed;
  }
}

void ServiceStatus::SetSpoolFigures(const SpoolFigures& spool) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.spool_waiting = spool.waiting;
  figures_.spool_dead_letters = spool.dead_letters;
  figures_.spool_oldest_ms = spool.oldest_ms;
}

void ServiceStatus::CountLocked(EventResult result) {
  switch (result) {
    case EventResult::kDelivered:
      ++figures_.delivered;
      figures_.last_delivery = std::time(nullptr);
      break;
    case EventResult::kFailed: ++figures_.failed; break;
    case EventResult::kRejected: ++figures_.rejected; break;
    case EventResult::kDropped: ++figures_.dropped; break;
  }
}

void ServiceStatus::NoteEvent(EventResult result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CountLocked(result);
  }
  Publish();
}

void ServiceStatus::NoteExchange(AttemptResult attempt, std::optional<EventResult> event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (attempt) {
      case AttemptResult::kOk: ++figures_.attempts_ok; break;
      case AttemptResult::kFailed: ++figures_.attempts_failed; break;
      case AttemptResult::kRefused: ++figures_.attempts_refused; break;
    }
    if (event) CountLocked(*event);
  }
  Publish();
}

void ServiceStatus::NoteDeadLetterDelivered() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++figures_.dead_letters_delivered;
}

void ServiceStatus::NoteReportFailure(std::time_t when, const std::string& logged_line) {
  // Escaped before it is made safe, so that the reason reads as the log's
  // line does (\xNN, not the blanks SafeReason makes of control bytes).
  std::string reason = SafeReason(PrintableText(logged_line), {});
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.last_report_failure = when;
  figures_.last_report_failure_reason = std::move(reason);
}

void ServiceStatus::NoteCheckFailure(const std::string& logged_line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (check_failed_) return;
  check_failed_ = true;
  check_failure_ = logged_line;
}

void ServiceStatus::CheckEnded(std::time_t when) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    figures_.last_check = when;
    if (check_failed_) {
      ++figures_.checks_failed;
      // "Error: Reading the version file - HTTP 403 ..." reads as
      // "failed: Reading the version file - HTTP 403 ..." in the status.
      std::string what = check_failure_;
      if (what.compare(0, 7, "Error: ") == 0) what.erase(0, 7);
      figures_.last_check_outcome = "failed: " + what;
    } else {
      ++figures_.checks_ok;
      figures_.last_check_outcome = check_note_.empty() ? kUpToDate : check_note_;
    }
    check_failed_ = false;
    check_failure_.clear();
    check_note_.clear();
  }
  Publish();
}

// Firmware installs and the hold.

void ServiceStatus::NoteInstall(bool installed, const std::string& note) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++(installed ? figures_.installs_ok : figures_.installs_failed);
  figures_.install_note = installed ? note : std::string();
}

void ServiceStatus::SetFirmwareHeld(bool held) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.firmware_held = held;
}

void ServiceStatus::SetFirmwareFloor(const std::string& version) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.firmware_floor = version;
}

void ServiceStatus::NoteCheckHeld(const std::string& logged_line) {
  std::lock_guard<std::mutex> lock(mutex_);
  check_note_ = logged_line;
}

void ServiceStatus::SetMetricsFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  metrics_file_ = path;
}

StatusSnapshot ServiceStatus::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return figures_;
}

void ServiceStatus::Publish() {
  // Under one lock from snapshot to rename, so the file never goes back to
  // older figures when both workers publish at once.
  std::lock_guard<std::mutex> publishing(publish_mutex_);
  StatusSnapshot figures;
  std::string metrics_file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    figures = figures_;
    metrics_file = metrics_file_;
  }
  // The file first: whoever sees a STATUS line finds the file as new.
  if (!metrics_file.empty()) WriteMetrics(metrics_file, figures);
#ifdef NETWORKPROXY_HAVE_SYSTEMD
  sd_notify(0, ("STATUS=" + StatusLine(figures)).c_str());
#endif
}

void ServiceStatus::Announce(const std::string& text) {
  std::lock_guard<std::mutex> publishing(publish_mutex_);
#ifdef NETWORKPROXY_HAVE_SYSTEMD
  sd_notify(0, ("STATUS=" + text).c_str());
#else
  (void)text;
#endif
}

void ServiceStatus::WriteMetrics(const std::string& path, const StatusSnapshot& figures) {
  // A reader sees the old or the new file, never part of one; it is not
  // synced: the next event writes it again.
  const Status written = WriteFileAtomically(path, MetricsText(figures), Durability::kUnsynced);
  bool report = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    report = !written.ok() && !metrics_failing_;
    metrics_failing_ = !written.ok();
  }
  // Once per spell of failures: an unwritable folder must not fill the log.
  if (report) {
    LogFormat("Error: Writing metrics file %s: %s", path.c_str(), written.reason().c_str());
  }
}

ServiceStatus& service_status() {
  static ServiceStatus status;
  return status;
}

void StartServiceStatus(const std::string& metrics_file, const std::string& controller_version) {
  service_status().SetMetricsFile(metrics_file);
  service_status().SetControllerVersion(controller_version);
  service_status().Publish();
}
