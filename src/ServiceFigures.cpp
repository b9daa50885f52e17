#include "ServiceFigures.h"

#include <cstddef>
#include <ctime>

namespace {

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

std::uint64_t RejectedNow(const StatusSnapshot& f) {
  // A dead letter rejected before a restart and delivered after it was
  // never counted here as rejected.
  return f.rejected > f.dead_letters_delivered ? f.rejected - f.dead_letters_delivered : 0;
}

std::string StatusLine(const StatusSnapshot& f) {
  const bool spool = f.spool_waiting >= 0;
  std::string line = Grouped(f.delivered) + (f.delivered == 1 ? " event" : " events") +
                     " delivered";
  // With the spool an event fails only while the spool cannot keep it.
  if (!spool || f.failed > 0) line += ", " + Grouped(f.failed) + " failed";
  const std::uint64_t rejected = RejectedNow(f);
  if (spool || rejected > 0) line += ", " + Grouped(rejected) + " rejected";
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
  if (f.last_report_failure != 0) {
    // Why events wait, for networkproxyctl status; the value is the time.
    Family(out, "networkproxy_last_report_failure_info", "gauge",
           "When the last post that did not deliver was made, in seconds since the epoch; "
           "its error line as the reason.");
    Sample(out, "networkproxy_last_report_failure_info{reason=\"" +
                    EscapeLabel(f.last_report_failure_reason) + "\"}",
           static_cast<std::uint64_t>(f.last_report_failure));
  }
  if (f.spool_waiting >= 0) {
    Family(out, "networkproxy_dead_letters_delivered_total", "counter",
           "Dead letters resent and then delivered: in events_total as delivered, and still as "
           "rejected, which never decreases; rejected less this is what stays rejected.");
    Sample(out, "networkproxy_dead_letters_delivered_total", f.dead_letters_delivered);
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

