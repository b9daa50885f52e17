#include "SiteCheck.h"

#include <sys/stat.h>

#include <cerrno>

#include "SettingNames.h"

namespace {

Status SecretFileWarning(const std::string& path, bool missing_is_warning) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    // Without its file the daemon signs with the pair built into it, which
    // is an example that works only against a test bucket.
    if (errno == ENOENT && missing_is_warning) {
      return Status::Error("missing: the firmware check uses the built-in example key pair");
    }
    return Status::Ok();
  }
  if (S_ISREG(info.st_mode) && (info.st_mode & S_IROTH) != 0) {
    return Status::Error("readable by other users (the daemon uses it all the same)");
  }
  return Status::Ok();
}

}  // namespace

Status SettingWarning(const std::string& name, const SiteSettings& settings) {
  if (name == "AWS_SHARED_CREDENTIALS_FILE") return SecretFileWarning(settings.credentials_file, true);
  if (name == "NETWORKPROXY_REPORT_TOKEN_FILE") {
    return SecretFileWarning(settings.report_token_file, false);
  }
  return Status::Ok();
}

std::vector<CheckLine> CheckSite(const LoadedSite& site) {
  std::vector<CheckLine> lines;
  for (const SettingReport& unknown : UnknownSettingNames(site.values)) {
    lines.push_back({SettingLine(unknown), false});
  }
  for (const SettingReport& report : CheckSiteSettings(site.settings)) {
    if (!report.status.ok()) {
      lines.push_back({SettingLine(report), false});
      continue;
    }
    const Status warning = SettingWarning(report.name, site.settings);
    lines.push_back({SettingLine({report.name, warning}), true});
  }
  return lines;
}
