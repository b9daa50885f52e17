#include "CtlSupport.h"

#include <cstdio>
#include <cstring>

#include "CtlCommands.h"

bool IsHelpOption(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

int UsageError(const std::string& what, const char* usage) {
  std::fprintf(stderr, "networkproxyctl: %s\nusage: networkproxyctl %s\n", what.c_str(), usage);
  return kCtlUsage;
}

SiteSettings LoadSiteSettings(const std::string& env_file, bool* file_ok) {
  *file_ok = true;
  if (env_file.empty()) return SiteSettingsFromEnvironment();
  const EnvironmentFile file = ReadEnvironmentFile(env_file);
  if (!file.status.ok()) {
    std::printf("%s - %s\n", env_file.c_str(), file.status.reason().c_str());
    *file_ok = false;
  }
  for (const std::string& problem : file.bad_lines) {
    std::printf("%s - %s\n", env_file.c_str(), problem.c_str());
    *file_ok = false;
  }
  return SiteSettingsOverEnvironment(file.values);
}
