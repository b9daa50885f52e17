#include "Settings.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "EventLog.h"
#include "LogRetention.h"

namespace {

constexpr const char* kDefaultSerialPort = "/dev/ttyUSB0";
constexpr const char* kDefaultImagePath = "FirmwareImage.cpp.hex";
constexpr const char* kDefaultRegion = "ap-southeast-2";
constexpr const char* kDefaultBucket = NETWORKPROXY_FIRMWARE_BUCKET;

// `value` when set, else `fallback`.
std::string SetOr(const std::string& value, const char* fallback) {
  return value.empty() ? std::string(fallback) : value;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CommandLine* out) {
  bool port_given = false;
  bool image_path_given = false;
  // The index moves by one, so a value is looked at again as an argument of
  // its own: one starting with "-" is taken as an option too.
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    char option = argv[i][1];
    if (option != 'p' && option != 'f') {
      std::printf("Invalid option: %c\n", option);
      return 2;
    }
    if (i + 1 >= argc) {
      std::printf("Missing value for option: %c\n", option);
      return 2;
    }
    // A cut device path opens some other device, a cut image path writes the
    // image somewhere else: refuse instead.
    if (std::strlen(argv[i + 1]) >= PATH_MAX) {
      std::printf("Option value too long: %c\n", option);
      return 2;
    }
    if (option == 'p') {
      port_given = true;
      out->port = argv[i + 1];
    } else {
      image_path_given = true;
      out->image_path = argv[i + 1];
    }
  }
  if (!port_given) out->port = kDefaultSerialPort;
  if (!image_path_given) out->image_path = kDefaultImagePath;
  return -1;
}

std::string SettleSiteId() {
  char name[32] = {0};
  if (gethostname(name, sizeof name) == 0 && name[sizeof name - 1] == '\0') return name;
  // The name did not fit; whatever part of it was written is not an identity.
  std::memset(name, 0, sizeof name);
  FILE* file = std::fopen("site_id.txt", "r");
  if (file != nullptr) {
    int words = std::fscanf(file, "%31s", name);
    std::fclose(file);
    if (words == 1) return name;
  }
  return "Unknown ID";
}

DaemonSettings BuildDaemonSettings(const CommandLine& command_line, const SiteSettings& site) {
  DaemonSettings settings;
  settings.site = site;
  settings.port = command_line.port;
  settings.site_id = SettleSiteId();
  settings.report = ReportTargetFrom(site, settings.site_id);

  FirmwareSource& firmware = settings.firmware;
  firmware.region = SetOr(site.firmware_region, kDefaultRegion);
  firmware.bucket = SetOr(site.firmware_bucket, kDefaultBucket);
  firmware.endpoint = S3Endpoint(site);
  firmware.credentials_file = site.credentials_file;
  firmware.profile = site.profile;
  firmware.public_key_file = site.firmware_public_key;
  firmware.image_path = command_line.image_path;

  settings.spool.path = site.spool;
  if (!site.spool_max_events.empty()) {
    const SpoolBound parsed = ParseSpoolMaxEvents(site.spool_max_events);
    settings.spool.max_events_status = parsed.status;
    if (parsed.status.ok()) settings.spool.max_events = parsed.events;
  }
  settings.metrics_file = site.metrics_file;

  settings.log_keep_days = kKeepAllLogs;
  if (!site.log_keep_days.empty()) {
    const KeepDays parsed = ParseLogKeepDays(site.log_keep_days);
    settings.log_keep_days_status = parsed.status;
    if (parsed.status.ok()) settings.log_keep_days = parsed.days;
  }
  return settings;
}

void ApplyLogKeepDays(const DaemonSettings& settings) {
  if (!settings.log_keep_days_status.ok()) {
    char line[kLogLineSize] = {0};
    std::snprintf(line, sizeof line,
                  "Error: NETWORKPROXY_LOG_KEEP_DAYS is not a number of days: %s; keeping every log",
                  settings.site.log_keep_days.c_str());
    PrintAndLogLine(line);
  }
  SetLogKeepDays(settings.log_keep_days);
}

void ReportSpoolBound(const DaemonSettings& settings) {
  if (settings.spool.max_events_status.ok()) return;
  char line[kLogLineSize] = {0};
  std::snprintf(line, sizeof line,
                "Error: NETWORKPROXY_SPOOL_MAX_EVENTS is not a positive whole number: %s; "
                "the spool keeps at most %zu events",
                settings.site.spool_max_events.c_str(), kDefaultSpoolMaxEvents);
  PrintAndLogLine(line);
}

void EndProcess(int status) {
  std::fflush(stdout);
  _exit(status);
}
