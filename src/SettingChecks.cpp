#include "SettingChecks.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "Credentials.h"
#include "EventLog.h"

namespace {

bool Lower(char c) { return c >= 'a' && c <= 'z'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!Digit(c)) return false;
  }
  return true;
}

bool HasSpace(const std::string& text) {
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) {
      return true;
    }
  }
  return false;
}

// "host", "host:port", "[v6]" or "[v6]:port": the host is there and the port
// is a port number.
Status CheckAuthority(const std::string& authority) {
  std::string host = authority;
  std::string rest;  // ":port" or ""
  if (!host.empty() && host[0] == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) return Status::Error("no closing ] after the IPv6 address");
    rest = host.substr(close + 1);
    host = host.substr(1, close - 1);
  } else if (host.find(':') != std::string::npos) {
    rest = host.substr(host.find(':'));
    host.erase(host.find(':'));
  }
  if (host.empty()) return Status::Error("no host");
  if (rest.empty()) return Status::Ok();
  const std::string port = rest.substr(1);
  if (rest[0] != ':' || !AllDigits(port) || port.size() > 5 || std::atoi(port.c_str()) > 65535) {
    return Status::Error("\"" + rest + "\" after the host is not a port number");
  }
  return Status::Ok();
}

// Bucket names that S3 keeps for itself.
constexpr const char* kReservedBucketPrefixes[] = {"xn--", "sthree-", "amzn-s3-demo-"};
constexpr const char* kReservedBucketSuffixes[] = {"-s3alias", "--ol-s3", "--x-s3", ".mrap"};

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool LooksLikeIpAddress(const std::string& text) {
  int parts = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    if (!AllDigits(text.substr(start, dot - start))) return false;
    ++parts;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

std::string Scheme(const std::string& url) {
  const std::size_t colon = url.find("://");
  std::string scheme = colon == std::string::npos ? std::string() : url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme;
}

}  // namespace

std::string SettingLine(const SettingReport& report) {
  return report.status.ok() ? "ok " + report.name : report.name + " - " + report.status.reason();
}

Status CheckUrl(const std::string& url) {
  if (HasSpace(url)) return Status::Error("contains a space or control character");
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos) return Status::Error("not a URL: it must start with https:// or http://");
  const std::string scheme = Scheme(url);
  if (scheme != "http" && scheme != "https") {
    return Status::Error("scheme \"" + url.substr(0, colon) + "\" is not http or https");
  }
  std::string authority = url.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  return CheckAuthority(authority);
}

Status CheckReportHost(const std::string& host) {
  if (HasSpace(host)) return Status::Error("contains a space or control character");
  if (host.find("://") != std::string::npos || host.find_first_of("/?#@") != std::string::npos) {
    return Status::Error("a host or host:port, not a URL (use NETWORKPROXY_REPORT_URL for that)");
  }
  return CheckAuthority(host);
}

Status CheckTokenTransport(const std::string& report_url) {
  if (Scheme(report_url) == "https") return Status::Ok();
  return Status::Error(
      "refused: the report URL is not https://, so the token would cross the network in clear");
}

Status CheckCredentials(const std::string& path, const std::string& profile) {
  S3Credentials credentials;
  const CredentialsLookup lookup = LookUpCredentials(path.c_str(), profile.c_str(), credentials);
  credentials.Clear();
  switch (lookup.source) {
    case CredentialsSource::kFile:
    case CredentialsSource::kCompiledIn:
      // A missing file is how a site says "not configured" (the unit always
      // names one): the daemon then uses the compiled-in pair, as it always
      // has, and its events must not stop for want of S3 keys.
      return Status::Ok();
    case CredentialsSource::kError:
      break;
  }
  return lookup.system_error != 0 ? Status::FromErrno(lookup.system_error, lookup.error)
                                  : Status::Error(lookup.error);
}

Status CheckBucketName(const std::string& bucket) {
  if (bucket.size() < 3 || bucket.size() > 63) return Status::Error("not 3 to 63 characters long");
  for (char c : bucket) {
    if (!Lower(c) && !Digit(c) && c != '.' && c != '-') {
      return Status::Error(std::string("'") + c +
                           "' is not allowed (lower-case letters, digits, '.' and '-' only)");
    }
  }
  // Every dot-separated label starts and ends with a letter or digit: this
  // also rules out "..", ".-" and "-.".
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = bucket.find('.', start);
    const std::string label = bucket.substr(start, dot - start);
    if (label.empty() || label.front() == '-' || label.back() == '-') {
      return Status::Error("each part between dots must start and end with a letter or digit");
    }
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (LooksLikeIpAddress(bucket)) return Status::Error("looks like an IP address");
  for (const char* prefix : kReservedBucketPrefixes) {
    if (bucket.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) {
      return Status::Error(std::string("starts with the reserved \"") + prefix + "\"");
    }
  }
  for (const char* suffix : kReservedBucketSuffixes) {
    if (EndsWith(bucket, suffix)) return Status::Error(std::string("ends with the reserved \"") + suffix + "\"");
  }
  return Status::Ok();
}

Status CheckRegionName(const std::string& region) {
  // Regions read like "ap-southeast-2" or "us-gov-west-1": a two-letter area,
  // words, and a number.
  const Status wrong = Status::Error("not a region name like ap-southeast-2");
  if (region.size() < 4 || !Lower(region[0]) || !Lower(region[1]) || region[2] != '-') return wrong;
  const std::size_t last = region.rfind('-');
  if (last <= 3 || region[last - 1] == '-' || !AllDigits(region.substr(last + 1))) return wrong;
  for (std::size_t i = 3; i < last; ++i) {
    if (!Lower(region[i]) && region[i] != '-') return wrong;
    if (region[i] == '-' && region[i - 1] == '-') return wrong;
  }
  return Status::Ok();
}

std::vector<SettingReport> FatalSettingProblems(const SiteSettings& settings) {
  std::vector<SettingReport> problems;
  if (!settings.report_url.empty()) {
    Status url = CheckUrl(settings.report_url);
    if (!url.ok()) problems.push_back({"NETWORKPROXY_REPORT_URL", url});
  }
  if (!settings.report_token_file.empty()) {
    Status transport = CheckTokenTransport(EffectiveReportUrl(settings));
    if (!transport.ok()) problems.push_back({"NETWORKPROXY_REPORT_TOKEN_FILE", transport});
  }
  return problems;
}

bool RefuseFatalSettings(const SiteSettings& settings) {
  const std::vector<SettingReport> problems = FatalSettingProblems(settings);
  for (const SettingReport& problem : problems) PrintAndLogLine(SettingLine(problem));
  return !problems.empty();
}

std::vector<SettingReport> CheckSiteSettings(const SiteSettings& s) {
  std::vector<SettingReport> reports;
  for (const SiteSettingName& entry : kSiteSettingNames) {
    const std::string& value = s.*entry.field;
    if (value.empty()) continue;
    const std::string name = entry.name;
    Status status;
    if (name == "NETWORKPROXY_PORT") {
      status = CheckSerialDevice(value);
    } else if (name == "NETWORKPROXY_REPORT_HOST") {
      status = CheckReportHost(value);
    } else if (name == "NETWORKPROXY_REPORT_URL" || name == "AWS_ENDPOINT_URL_S3" ||
               name == "AWS_ENDPOINT_URL") {
      status = CheckUrl(value);
    } else if (name == "NETWORKPROXY_REPORT_CA") {
      status = CheckCaFile(value);
    } else if (name == "NETWORKPROXY_REPORT_TOKEN_FILE") {
      status = CheckTokenTransport(EffectiveReportUrl(s));
      if (status.ok()) status = CheckTokenFile(value);
    } else if (name == "AWS_SHARED_CREDENTIALS_FILE") {
      status = CheckCredentials(value, s.profile);
    } else if (name == "AWS_PROFILE") {
      status = s.credentials_file.empty()
                   ? Status::Error("no AWS_SHARED_CREDENTIALS_FILE to take the profile from")
                   : CheckCredentials(s.credentials_file, value);
      // A file that cannot be read is the file's line; this one says only
      // what is wrong with the profile.
      if (!status.ok() && status.reason().compare(0, 10, "no profile") != 0 &&
          status.reason().compare(0, 9, "profile [") != 0 && !s.credentials_file.empty()) {
        status = Status::Error("not checked: AWS_SHARED_CREDENTIALS_FILE is not usable");
      }
    } else if (name == "NETWORKPROXY_FIRMWARE_BUCKET") {
      status = CheckBucketName(value);
    } else if (name == "NETWORKPROXY_FIRMWARE_REGION") {
      status = CheckRegionName(value);
    } else if (name == "NETWORKPROXY_FIRMWARE_PUBLIC_KEY") {
      status = CheckPublicKeyFile(value);
    } else if (name == "NETWORKPROXY_SPOOL") {
      status = CheckSpoolFile(value);
    } else if (name == "NETWORKPROXY_SPOOL_MAX_EVENTS") {
      status = ParseSpoolMaxEvents(value).status;
    } else if (name == "NETWORKPROXY_METRICS_FILE") {
      status = CheckWritableFolderOf(value);
    } else if (name == "NETWORKPROXY_LOG_KEEP_DAYS") {
      status = ParseLogKeepDays(value).status;
    }
    reports.push_back({name, status});
  }
  return reports;
}
