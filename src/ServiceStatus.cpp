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

namespace {

constexpr const char* kUpToDate = "up to date";

// 1234567 -> "1,234,567".
std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// A label value as the exposition format wants it.
std::string EscapeLabel(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, std::uint64_t value) {
  out += name + " " + std::to_string(value) + "\n";
}

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

std::string StatusLine(const StatusSnapshot& f) {
  const bool spool = f.spool_waiting >= 0;
  std::string line = Grouped(f.delivered) + (f.delivered == 1 ? " event" : " events") +
                     " delivered";
  // With the spool an event fails only while the spool cannot keep it.
  if (!spool || f.failed > 0) line += ", " + Grouped(f.failed) + " failed";
  if (spool || f.rejected > 0) line += ", " + Grouped(f.rejected) + " rejected";
  if (f.dropped > 0) line += ", " + Grouped(f.dropped) + " dropped";
  if (spool) line += ", " + Grouped(static_cast<std::uint64_t>(f.spool_waiting)) + " waiting";
  line += "; firmware ";
  line += f.controller_version.empty() ? std::string("unknown") : f.controller_version;
  if (f.last_check == 0) {
    line += ", not checked yet";
  } else {
    std::tm local{};
    localtime_r(&f.last_check, &local);
    char when[16] = {0};
    std::strftime(when, sizeof when, "%H:%M:%S", &local);
    line += std::string(" checked ") + when + ", " + f.last_check_outcome;
  }
  if (!f.install_note.empty()) line += "; " + f.install_note;
  return line;
}

std::string MetricsText(const StatusSnapshot& f) {
  std::string out;
  Family(out, "networkproxy_events_total", "counter",
         "Controller events by what became of them.");
  Sample(out, "networkproxy_events_total{result=\"delivered\"}", f.delivered);
  Sample(out, "networkproxy_events_total{result=\"rejected\"}", f.rejected);
  Sample(out, "networkproxy_events_total{result=\"dropped\"}", f.dropped);
  Sample(out, "networkproxy_events_total{result=\"failed\"}", f.failed);
  Family(out, "networkproxy_report_attempts_total", "counter",
         "Posts to the reporting server by how they went.");
  Sample(out, "networkproxy_report_attempts_total{result=\"ok\"}", f.attempts_ok);
  Sample(out, "networkproxy_report_attempts_total{result=\"failed\"}", f.attempts_failed);
  Sample(out, "networkproxy_report_attempts_total{result=\"refused\"}", f.attempts_refused);
  Family(out, "networkproxy_last_delivery_timestamp_seconds", "gauge",
         "When the server last took an event, in seconds since the epoch; 0 before the first.");
  Sample(out, "networkproxy_last_delivery_timestamp_seconds",
         static_cast<std::uint64_t>(f.last_delivery));
  if (f.spool_waiting >= 0) {
    Family(out, "networkproxy_spool_events", "gauge",
           "Events waiting in the spool to be reported.");
    Sample(out, "networkproxy_spool_events", static_cast<std::uint64_t>(f.spool_waiting));
    Family(out, "networkproxy_spool_dead_letters", "gauge",
           "Events the server rejected, kept aside in the spool.");
    Sample(out, "networkproxy_spool_dead_letters",
           static_cast<std::uint64_t>(f.spool_dead_letters));
    Family(out, "networkproxy_spool_oldest_event_timestamp_seconds", "gauge",
           "When the oldest waiting event was read, in seconds since the epoch; 0 when none waits.");
    Sample(out, "networkproxy_spool_oldest_event_timestamp_seconds",
           static_cast<std::uint64_t>(f.spool_oldest_ms / 1000));
  }
  Family(out, "networkproxy_firmware_checks_total", "counter",
         "Firmware checks by outcome.");
  Sample(out, "networkproxy_firmware_checks_total{result=\"ok\"}", f.checks_ok);
  Sample(out, "networkproxy_firmware_checks_total{result=\"failed\"}", f.checks_failed);
  Family(out, "networkproxy_last_firmware_check_timestamp_seconds", "gauge",
         "When the last firmware check ended, in seconds since the epoch; 0 before the first.");
  Sample(out, "networkproxy_last_firmware_check_timestamp_seconds",
         static_cast<std::uint64_t>(f.last_check));
  if (f.last_check != 0) {
    // The outcome with its reason, for networkproxyctl status.
    const bool failed = f.last_check_outcome.compare(0, 8, "failed: ") == 0;
    Family(out, "networkproxy_last_firmware_check_info", "gauge",
           "Always 1; the last firmware check's result (ok or failed) and reason.");
    Sample(out, std::string("networkproxy_last_firmware_check_info{result=\"") +
                    (failed ? "failed" : "ok") + "\",reason=\"" +
                    EscapeLabel(failed ? f.last_check_outcome.substr(8) : f.last_check_outcome) +
                    "\"}",
           1);
  }
  // Firmware installs and the hold.
  Family(out, "networkproxy_firmware_installs_total", "counter",
         "Hand-offs whose outcome a start told: the controller reported the version or not.");
  Sample(out, "networkproxy_firmware_installs_total{result=\"installed\"}", f.installs_ok);
  Sample(out, "networkproxy_firmware_installs_total{result=\"failed\"}", f.installs_failed);
  Family(out, "networkproxy_firmware_held", "gauge",
         "1 while a firmware version is held after failed installs, else 0.");
  Sample(out, "networkproxy_firmware_held", f.firmware_held ? 1 : 0);
  if (!f.firmware_floor.empty()) {
    Family(out, "networkproxy_firmware_floor_info", "gauge",
           "Always 1; the newest release the controller has reported.");
    Sample(out, "networkproxy_firmware_floor_info{version=\"" + EscapeLabel(f.firmware_floor) +
                    "\"}",
           1);
  }
  Family(out, "networkproxy_controller_info", "gauge",
         "The controller's firmware version as reported at start-up.");
  Sample(out, "networkproxy_controller_info{version=\"" + EscapeLabel(f.controller_version) + "\"}",
         1);
  return out;
}

