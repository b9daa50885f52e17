#include "Settings.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "EventLog.h"
#include "LogRetention.h"
#include "SettingChecks.h"

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

const char* g_report_host = nullptr;

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

const char* ReportHost() {
  if (g_report_host == nullptr) {
    const char* overridden = std::getenv("NETWORKPROXY_REPORT_HOST");
    g_report_host = (overridden != nullptr && *overridden != '\0')
                        ? strdup(overridden)
                        : NETWORKPROXY_REPORT_HOST_DEFAULT;
  }
  return g_report_host;
}

namespace {

// `name` from the environment when set and not empty, else `fallback`.
const char* EnvironmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? strdup(value) : fallback;
}

}  // namespace

const char* FirmwareBucket() {
  static const char* const bucket = EnvironmentOr("NETWORKPROXY_FIRMWARE_BUCKET", kFirmwareBucket);
  return bucket;
}

const char* FirmwareRegion() {
  static const char* const region = EnvironmentOr("NETWORKPROXY_FIRMWARE_REGION", kRegion);
  return region;
}

const char* ReportUrlSetting() {
  static const char* const url = EnvironmentOr("NETWORKPROXY_REPORT_URL", nullptr);
  return url;
}

const char* ReportCaFile() {
  static const char* const file = EnvironmentOr("NETWORKPROXY_REPORT_CA", nullptr);
  return file;
}

const char* ReportTokenFile() {
  static const char* const file = EnvironmentOr("NETWORKPROXY_REPORT_TOKEN_FILE", nullptr);
  return file;
}

SpoolSettings ReadSpoolSettings() {
  SpoolSettings settings;
  const char* path = std::getenv("NETWORKPROXY_SPOOL");
  if (path == nullptr || *path == '\0') return settings;
  settings.path = strdup(path);  // lives as long as the process
  const char* bound = std::getenv("NETWORKPROXY_SPOOL_MAX_EVENTS");
  if (bound != nullptr && *bound != '\0') {
    const SpoolBound parsed = ParseSpoolMaxEvents(bound);
    if (!parsed.status.ok()) {
      char line[kLogLineSize] = {0};
      std::snprintf(line, sizeof line,
                    "Error: NETWORKPROXY_SPOOL_MAX_EVENTS is not a positive whole number: %s; "
                    "the spool keeps at most %zu events", bound, kDefaultSpoolMaxEvents);
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

void ReadLogKeepDays() {
  const char* text = std::getenv("NETWORKPROXY_LOG_KEEP_DAYS");
  if (text == nullptr || *text == '\0') return;
  const KeepDays parsed = ParseLogKeepDays(text);
  if (!parsed.status.ok()) {
    char line[kLogLineSize] = {0};
    std::snprintf(line, sizeof line,
                  "Error: NETWORKPROXY_LOG_KEEP_DAYS is not a number of days: %s; keeping every log",
                  text);
    PrintAndLogLine(line);
    return;
  }
  SetLogKeepDays(parsed.days);
}
