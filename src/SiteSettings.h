// SiteSettings: every setting a site gives the daemon, read in one go into
// one value, from the process environment or from an environment file in
// the format of /etc/default/networkproxy (what systemd's EnvironmentFile=
// reads). The daemon reads it once at start-up; networkproxyctl stacks the
// unit's values, its environment and the file into one EnvironmentValues
// and reads that (ctl/CtlSupport.h).
//
// A plain value type: copy it freely; reading the environment belongs to
// start-up, before any worker runs (getenv is not safe against setenv).
#ifndef NETWORKPROXY_SITESETTINGS_H_
#define NETWORKPROXY_SITESETTINGS_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "Status.h"

// Each setting as text, as given; empty when unset or set to "".
struct SiteSettings {
  std::string report_host;        // NETWORKPROXY_REPORT_HOST
  std::string report_url;         // NETWORKPROXY_REPORT_URL
  std::string report_ca;          // NETWORKPROXY_REPORT_CA
  std::string report_token_file;  // NETWORKPROXY_REPORT_TOKEN_FILE
  std::string credentials_file;   // AWS_SHARED_CREDENTIALS_FILE
  std::string profile;            // AWS_PROFILE
  std::string s3_endpoint;        // AWS_ENDPOINT_URL_S3
  std::string general_endpoint;   // AWS_ENDPOINT_URL (S3's when the above is unset)
  std::string firmware_bucket;    // NETWORKPROXY_FIRMWARE_BUCKET
  std::string firmware_region;    // NETWORKPROXY_FIRMWARE_REGION
  std::string firmware_public_key;  // NETWORKPROXY_FIRMWARE_PUBLIC_KEY
  std::string spool;              // NETWORKPROXY_SPOOL
  std::string spool_max_events;   // NETWORKPROXY_SPOOL_MAX_EVENTS
  std::string metrics_file;       // NETWORKPROXY_METRICS_FILE
  std::string log_keep_days;      // NETWORKPROXY_LOG_KEEP_DAYS
  std::string serial_device;      // NETWORKPROXY_PORT (the unit passes it as -p)
  // What the report's curl run inherits, each of kCurlVariables that is set
  // and not empty: not settings of ours, but read once with them.
  std::map<std::string, std::string> curl_variables;
};

// PATH and the proxy variables curl reads (it ignores HTTP_PROXY in capitals).
constexpr const char* kCurlVariables[] = {"PATH",      "http_proxy", "https_proxy", "HTTPS_PROXY",
                                          "all_proxy", "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

// The setting names in the order check reports them, with their field.
struct SiteSettingName {
  const char* name;
  std::string SiteSettings::*field;
};
constexpr std::size_t kSiteSettingCount = 16;
extern const SiteSettingName kSiteSettingNames[kSiteSettingCount];

// Names and values of one environment file.
using EnvironmentValues = std::map<std::string, std::string>;

// Reads the settings from `values` (a name missing from it is unset).
SiteSettings SiteSettingsFrom(const EnvironmentValues& values);

// Reads the settings from the process environment.
SiteSettings SiteSettingsFromEnvironment();

// Parses the text of an environment file: blank lines and lines starting
// with '#' or ';' are skipped; every other line is KEY=value, KEY="value" or
// KEY='value' (an optional "export " before KEY is allowed). Inside double
// quotes a backslash keeps the next character; unquoted values lose the
// spaces around them. A later line for the same KEY wins. A line that is
// none of these is skipped, as systemd skips it, and named in `bad_lines`
// ("line <n>: <why>"). `status` fails only when the file cannot be read.
struct EnvironmentFile {
  Status status;
  std::vector<std::string> bad_lines;
  EnvironmentValues values;
};
EnvironmentFile ParseEnvironmentText(const std::string& text);

// Reads and parses the file at `path`.
EnvironmentFile ReadEnvironmentFile(const std::string& path);

// The S3 base URL: AWS_ENDPOINT_URL_S3, else AWS_ENDPOINT_URL; empty: AWS.
const std::string& S3Endpoint(const SiteSettings& settings);

// The report URL the daemon posts to: NETWORKPROXY_REPORT_URL, else
// "http://<report host>/ping.json" with the host set or compiled in.
std::string EffectiveReportUrl(const SiteSettings& settings);

// Whole-number settings, parsed the one way the daemon and check share.
struct SpoolBound {
  Status status;
  std::size_t events = 0;
};
SpoolBound ParseSpoolMaxEvents(const std::string& text);  // a positive whole number
struct KeepDays {
  Status status;
  int days = 0;
};
KeepDays ParseLogKeepDays(const std::string& text);  // 0 .. 100000

#endif  // NETWORKPROXY_SITESETTINGS_H_
