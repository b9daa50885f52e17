#include "SiteSettings.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "SmallFile.h"

const SiteSettingName kSiteSettingNames[kSiteSettingCount] = {
    {"NETWORKPROXY_PORT", &SiteSettings::serial_device},
    {"NETWORKPROXY_REPORT_HOST", &SiteSettings::report_host},
    {"NETWORKPROXY_REPORT_URL", &SiteSettings::report_url},
    {"NETWORKPROXY_REPORT_CA", &SiteSettings::report_ca},
    {"NETWORKPROXY_REPORT_TOKEN_FILE", &SiteSettings::report_token_file},
    {"AWS_SHARED_CREDENTIALS_FILE", &SiteSettings::credentials_file},
    {"AWS_PROFILE", &SiteSettings::profile},
    {"AWS_ENDPOINT_URL_S3", &SiteSettings::s3_endpoint},
    {"AWS_ENDPOINT_URL", &SiteSettings::general_endpoint},
    {"NETWORKPROXY_FIRMWARE_BUCKET", &SiteSettings::firmware_bucket},
    {"NETWORKPROXY_FIRMWARE_REGION", &SiteSettings::firmware_region},
    {"NETWORKPROXY_FIRMWARE_PUBLIC_KEY", &SiteSettings::firmware_public_key},
    {"NETWORKPROXY_SPOOL", &SiteSettings::spool},
    {"NETWORKPROXY_SPOOL_MAX_EVENTS", &SiteSettings::spool_max_events},
    {"NETWORKPROXY_METRICS_FILE", &SiteSettings::metrics_file},
    {"NETWORKPROXY_LOG_KEEP_DAYS", &SiteSettings::log_keep_days},
};

namespace {

// An environment file is a page of settings; anything bigger is not one.
constexpr std::size_t kMaxEnvironmentFileSize = 256 * 1024;

std::string Trim(const std::string& text) {
  const char* const kSpace = " \t\r\f\v";
  std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

bool IsName(const std::string& name) {
  if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// The value after '=' on one line: unquoted, "double" or 'single' quoted.
// Returns false when a quote is left open or text follows the closing one.
bool ParseValue(const std::string& raw, std::string* value, std::string* why) {
  const std::string text = Trim(raw);
  value->clear();
  if (text.empty() || (text[0] != '"' && text[0] != '\'')) {
    *value = text;
    return true;
  }
  const char quote = text[0];
  std::size_t i = 1;
  for (; i < text.size() && text[i] != quote; ++i) {
    if (quote == '"' && text[i] == '\\' && i + 1 < text.size()) ++i;
    value->push_back(text[i]);
  }
  if (i >= text.size()) {
    *why = "quote not closed";
    return false;
  }
  if (i + 1 != text.size()) {
    *why = "text after the closing quote";
    return false;
  }
  return true;
}

template <typename Lookup>
SiteSettings Read(Lookup lookup) {
  SiteSettings settings;
  for (const SiteSettingName& entry : kSiteSettingNames) settings.*entry.field = lookup(entry.name);
  for (const char* name : kCurlVariables) {
    std::string value = lookup(name);
    if (!value.empty()) settings.curl_variables[name] = std::move(value);
  }
  return settings;
}

std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

SiteSettings SiteSettingsFrom(const EnvironmentValues& values) {
  return Read([&values](const char* name) {
    auto found = values.find(name);
    return found != values.end() ? found->second : std::string();
  });
}

SiteSettings SiteSettingsFromEnvironment() { return Read(FromEnvironment); }

EnvironmentFile ParseEnvironmentText(const std::string& text) {
  EnvironmentFile result;
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.compare(0, 7, "export ") == 0) line = Trim(line.substr(7));
    const std::size_t equals = line.find('=');
    const std::string name = Trim(line.substr(0, equals));
    std::string value;
    std::string why = "not KEY=value";
    if (equals != std::string::npos && IsName(name) &&
        ParseValue(line.substr(equals + 1), &value, &why)) {
      result.values[name] = value;
      continue;
    }
    result.bad_lines.push_back("line " + std::to_string(number) + ": " + why);
  }
  return result;
}

EnvironmentFile ReadEnvironmentFile(const std::string& path) {
  std::string text;
  const int error = ReadSmallFile(path.c_str(), kMaxEnvironmentFileSize, text);
  if (error != 0) {
    EnvironmentFile failed;
    failed.status = Status::FromErrno(error);
    return failed;
  }
  return ParseEnvironmentText(text);
}

const std::string& S3Endpoint(const SiteSettings& settings) {
  return settings.s3_endpoint.empty() ? settings.general_endpoint : settings.s3_endpoint;
}

std::string EffectiveReportUrl(const SiteSettings& settings) {
  if (!settings.report_url.empty()) return settings.report_url;
  const std::string host =
      settings.report_host.empty() ? NETWORKPROXY_REPORT_HOST_DEFAULT : settings.report_host;
  return "http://" + host + "/ping.json";
}

SpoolBound ParseSpoolMaxEvents(const std::string& text) {
  SpoolBound bound;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || errno != 0 || *end != '\0' || value == 0) {
    bound.status = Status::Error("not a positive whole number: " + text);
  } else {
    bound.events = static_cast<std::size_t>(value);
  }
  return bound;
}

KeepDays ParseLogKeepDays(const std::string& text) {
  KeepDays keep;
  char* end = nullptr;
  errno = 0;
  const long days = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || errno != 0 || *end != '\0' || days > 100000) {
    keep.status = Status::Error("not a number of days (0 to 100000): " + text);
  } else {
    keep.days = static_cast<int>(days);
  }
  return keep;
}
