#include "SiteState.h"

#include <json/json.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <map>

#include "EventStamp.h"
#include "HandOffGuard.h"
#include "PrintableText.h"

namespace {

// One sample line: name, labels, value.
struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

// Reads `name{label="value",...} value [timestamp]`. False when the line is
// not one.
bool ParseSample(const std::string& line, Sample* sample) {
  std::size_t i = line.find_first_of("{ \t");
  if (i == std::string::npos || i == 0) return false;
  sample->name = line.substr(0, i);
  if (line[i] == '{') {
    ++i;
    while (i < line.size() && line[i] != '}') {
      const std::size_t equals = line.find('=', i);
      if (equals == std::string::npos || equals + 1 >= line.size() || line[equals + 1] != '"') {
        return false;
      }
      const std::string label = line.substr(i, equals - i);
      std::string value;
      for (i = equals + 2; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          ++i;
          value += line[i] == 'n' ? '\n' : line[i];
        } else {
          value += line[i];
        }
      }
      if (i >= line.size()) return false;
      sample->labels[label] = value;
      ++i;  // past the closing quote
      if (i < line.size() && line[i] == ',') ++i;
    }
    if (i >= line.size()) return false;
    ++i;  // past '}'
  }
  const char* start = line.c_str() + i;
  char* end = nullptr;
  // NaN and infinities are values in this format: read, then clamped.
  sample->value = std::strtod(start, &end);
  return end != start;
}

// The file is anyone's to write: a value outside what a count or a time can
// be is clamped before it becomes an integer (converting an out-of-range
// double is undefined). NaN reads as 0, "not known".
constexpr double kMaxCount = 9007199254740992.0;  // 2^53: every whole number below is exact
// 9999-12-31T23:59:59Z, or the last second a 32-bit time_t holds (boards
// whose C library still has one).
constexpr double kMaxTime =
    std::numeric_limits<std::time_t>::max() < 253402300799LL
        ? static_cast<double>(std::numeric_limits<std::time_t>::max())
        : 253402300799.0;

double Clamped(double value, double most) {
  if (!(value > 0)) return 0;
  return value < most ? value : most;
}

std::int64_t Ms(std::time_t seconds) { return static_cast<std::int64_t>(seconds) * 1000; }

std::uint64_t Count(double value) { return static_cast<std::uint64_t>(Clamped(value, kMaxCount)); }

std::time_t Time(double value) { return static_cast<std::time_t>(Clamped(value, kMaxTime)); }

// Each event in the state it ended in: a resent dead letter delivered is
// no longer rejected.
std::uint64_t Rejected(const SiteState& s) {
  return s.rejected > s.dead_letters_delivered ? s.rejected - s.dead_letters_delivered : 0;
}

Json::Value TimeOrNull(std::time_t when) {
  return when != 0 ? Json::Value(Rfc3339Utc(Ms(when))) : Json::Value(Json::nullValue);
}

// Texts come from the file (a controller's version, a server's words): what
// is printed shows their control bytes as \xNN, in JSON as in plain text.
Json::Value TextOrNull(const std::string& text) {
  return text.empty() ? Json::Value(Json::nullValue) : Json::Value(PrintableText(text));
}

}  // namespace

Status ReadMetricsText(const std::string& text, SiteState* state) {
  bool delivered_seen = false;
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    Sample s;
    if (!ParseSample(line, &s)) return Status::Error("line " + std::to_string(number) + ": not a sample");
    const std::string result = s.labels.count("result") ? s.labels["result"] : std::string();
    if (s.name == "networkproxy_events_total") {
      // "reported" is what daemons before "delivered" called the same count.
      if (result == "delivered" || (result == "reported" && !delivered_seen)) {
        state->delivered = Count(s.value);
        delivered_seen = delivered_seen || result == "delivered";
      } else if (result == "rejected") {
        state->rejected = Count(s.value);
      } else if (result == "dropped") {
        state->dropped = Count(s.value);
      } else if (result == "failed") {
        state->failed = Count(s.value);
      }
    } else if (s.name == "networkproxy_dead_letters_delivered_total") {
      state->dead_letters_delivered = Count(s.value);
    } else if (s.name == "networkproxy_spool_events") {
      state->waiting = Count(s.value);
    } else if (s.name == "networkproxy_spool_dead_letters") {
      state->dead_letters = Count(s.value);
    } else if (s.name == "networkproxy_spool_oldest_event_timestamp_seconds") {
      state->oldest_waiting = Time(s.value);
    } else if (s.name == "networkproxy_last_delivery_timestamp_seconds") {
      state->last_delivery = Time(s.value);
    } else if (s.name == "networkproxy_last_firmware_check_timestamp_seconds") {
      state->check_time = Time(s.value);
    } else if (s.name == "networkproxy_last_firmware_check_info") {
      state->check_result = result;
      state->check_reason = s.labels["reason"];
    } else if (s.name == "networkproxy_last_report_failure_info") {
      state->last_failure = Time(s.value);
      state->last_failure_reason = s.labels["reason"];
    } else if (s.name == "networkproxy_controller_info") {
      state->firmware_version = s.labels["version"];
    }
  }
  return Status::Ok();
}

std::string SiteStateJson(const SiteState& s, std::time_t now) {
  Json::Value root(Json::objectValue);
  root["firmware_version"] = TextOrNull(s.firmware_version);
  Json::Value& check = root["last_firmware_check"];
  check["time"] = TimeOrNull(s.check_time);
  check["result"] = s.check_time != 0 ? TextOrNull(s.check_result) : Json::Value(Json::nullValue);
  check["reason"] = s.check_time != 0 ? TextOrNull(s.check_reason) : Json::Value(Json::nullValue);
  Json::Value& events = root["events"];
  events["delivered"] = Json::UInt64(s.delivered);
  events["rejected"] = Json::UInt64(Rejected(s));
  events["dropped"] = Json::UInt64(s.dropped);
  events["waiting"] = Json::UInt64(s.waiting);
  events["failed"] = Json::UInt64(s.failed);
  root["dead_letters"] = Json::UInt64(s.dead_letters);
  root["oldest_waiting_seconds"] =
      s.oldest_waiting != 0 ? Json::Value(Json::Int64(now > s.oldest_waiting ? now - s.oldest_waiting : 0))
                            : Json::Value(Json::nullValue);
  root["last_delivery"] = TimeOrNull(s.last_delivery);
  Json::Value& failure = root["last_failure"];
  if (s.last_failure != 0) {
    failure["time"] = TimeOrNull(s.last_failure);
    failure["reason"] = TextOrNull(s.last_failure_reason);
  }
  // The last firmware hand-off.
  Json::Value handoff(Json::nullValue);
  if (!s.handoff_version.empty()) {
    handoff["version"] = PrintableText(s.handoff_version);
    handoff["time"] = TimeOrNull(s.handoff_time);
    handoff["result"] = s.handoff_result;
  }
  root["last_handoff"] = handoff;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  return Json::writeString(writer, root) + "\n";
}

std::string SiteStateText(const SiteState& s, std::time_t now) {
  std::string out = "controller firmware: " +
                    (s.firmware_version.empty() ? "unknown" : PrintableText(s.firmware_version)) + "\n";
  out += "last firmware check: ";
  if (s.check_time == 0) {
    out += "none yet\n";
  } else {
    out += Rfc3339Utc(Ms(s.check_time)) + " " +
           (s.check_result.empty() ? "?" : PrintableText(s.check_result));
    if (!s.check_reason.empty()) out += " - " + PrintableText(s.check_reason);
    out += "\n";
  }
  out += "events: " + std::to_string(s.delivered) + " delivered, " + std::to_string(Rejected(s)) +
         " rejected, " + std::to_string(s.dropped) + " dropped";
  if (s.failed > 0) out += ", " + std::to_string(s.failed) + " failed";
  out += "\n";
  out += "backlog: " + std::to_string(s.waiting) + " waiting";
  if (s.oldest_waiting != 0) {
    out += ", oldest " + std::to_string(now > s.oldest_waiting ? now - s.oldest_waiting : 0) + " s";
  }
  if (s.waiting > 0 && s.last_failure != 0) {
    std::tm local{};
    localtime_r(&s.last_failure, &local);
    char when[16] = {0};
    std::strftime(when, sizeof when, "%H:%M:%S", &local);
    out += std::string(" - last try ") + when + ": " + PrintableText(s.last_failure_reason);
  }
  out += "\n";
  out += "dead letters: " + std::to_string(s.dead_letters) + "\n";
  out += "last delivery: " + (s.last_delivery != 0 ? Rfc3339Utc(Ms(s.last_delivery)) : std::string("none")) + "\n";
  out += "last hand-off: " + LastHandOffText(s) + "\n";
  return out;
}

// The last firmware hand-off.

void ReadLastHandOff(SiteState* state) {
  HandOffRecord record;
  if (!ReadHandOffRecord(kHandOffRecordFile, &record)) return;
  state->handoff_version = record.version;
  state->handoff_time = record.time;
  state->handoff_result = record.result;
}

std::string LastHandOffText(const SiteState& s) {
  if (s.handoff_version.empty()) return "none";
  return PrintableText(s.handoff_version) + " at " + Rfc3339Utc(Ms(s.handoff_time)) + ", " +
         s.handoff_result;
}
