#include "Settings.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "EventLog.h"
#include "LogRetention.h"
#include "SiteSettings.h"

char usb_serial_port[PATH_MAX];
char firmware_file_path[PATH_MAX];
char site_id[32];
char firmware_version[32];
const char* firmware_filename = "FirmwareImage.cpp.hex";

const char* const kFirmwareBucket = NETWORKPROXY_FIRMWARE_BUCKET;
const char* const kAccessKeyId = NETWORKPROXY_AWS_ACCESS_KEY_ID;
const char* const kSecretAccessKey = NETWORKPROXY_AWS_SECRET_ACCESS_KEY;

namespace {

constexpr const char* kDefaultSerialPort = "/dev/ttyUSB0";

// Copies `text` into `field`, cut to fit and terminated.
template <std::size_t N>
void CopySetting(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text);
}

}  // namespace

int ParseCommandLine(int argc, char** argv) {
  bool port_given = false;
  bool firmware_path_given = false;
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
      CopySetting(usb_serial_port, argv[i + 1]);
    } else {
      firmware_path_given = true;
      CopySetting(firmware_file_path, argv[i + 1]);
    }
  }
  if (!port_given) CopySetting(usb_serial_port, kDefaultSerialPort);
  if (!firmware_path_given) CopySetting(firmware_file_path, firmware_filename);
  return -1;
}

void SettleSiteId() {
  if (gethostname(site_id, sizeof site_id) == 0 && site_id[sizeof site_id - 1] == '\0') {
    return;
  }
  // The name did not fit; whatever part of it was written is not an identity.
  std::memset(site_id, 0, sizeof site_id);
  FILE* file = std::fopen("site_id.txt", "r");
  if (file != nullptr) {
    int words = std::fscanf(file, "%31s", site_id);
    std::fclose(file);
    if (words == 1) return;
    std::memset(site_id, 0, sizeof site_id);
  }
  CopySetting(site_id, "Unknown ID");
}

const SiteSettings& StartupSiteSettings() {
  // Never freed: workers read it until the process ends.
  static const SiteSettings* const settings = new SiteSettings(SiteSettingsFromEnvironment());
  return *settings;
}

namespace {

// `value` when set, else `fallback`.
const char* SetOr(const std::string& value, const char* fallback) {
  return value.empty() ? fallback : value.c_str();
}

}  // namespace

const char* ReportHost() {
  return SetOr(StartupSiteSettings().report_host, NETWORKPROXY_REPORT_HOST_DEFAULT);
}

const char* FirmwareBucket() { return SetOr(StartupSiteSettings().firmware_bucket, kFirmwareBucket); }

const char* FirmwareRegion() { return SetOr(StartupSiteSettings().firmware_region, kRegion); }

const char* ReportUrlSetting() { return SetOr(StartupSiteSettings().report_url, nullptr); }

const char* ReportCaFile() { return SetOr(StartupSiteSettings().report_ca, nullptr); }

const char* ReportTokenFile() { return SetOr(StartupSiteSettings().report_token_file, nullptr); }

SpoolSettings ReadSpoolSettings(const SiteSettings& site) {
  SpoolSettings settings;
  if (site.spool.empty()) return settings;
  settings.path = strdup(site.spool.c_str());  // lives as long as the process
  if (!site.spool_max_events.empty()) {
    const SpoolBound parsed = ParseSpoolMaxEvents(site.spool_max_events);
    if (!parsed.status.ok()) {
      char line[kLogLineSize] = {0};
      std::snprintf(line, sizeof line,
                    "Error: NETWORKPROXY_SPOOL_MAX_EVENTS is not a positive whole number: %s; "
                    "the spool keeps at most %zu events",
                    site.spool_max_events.c_str(), kDefaultSpoolMaxEvents);
      PrintAndLogLine(line);
    } else {
      settings.max_events = parsed.events;
    }
  }
  return settings;
}

void EndProcess(int status) {
  std::fflush(stdout);
  _exit(status);
}

void ReadLogKeepDays(const SiteSettings& settings) {
  const std::string& text = settings.log_keep_days;
  if (text.empty()) return;
  const KeepDays parsed = ParseLogKeepDays(text);
  if (!parsed.status.ok()) {
    char line[kLogLineSize] = {0};
    std::snprintf(line, sizeof line,
                  "Error: NETWORKPROXY_LOG_KEEP_DAYS is not a number of days: %s; keeping every log",
                  text.c_str());
    PrintAndLogLine(line);
    return;
  }
  SetLogKeepDays(parsed.days);
}
