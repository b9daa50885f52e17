#include "SettingsFiles.h"

#include <sys/stat.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "EventLog.h"

namespace {

std::mutex noted_mutex;
std::set<std::string> noted;  // "<kind>:<setting or path>" already logged

// True the first time `key` is seen.
bool FirstTime(const std::string& key) {
  std::lock_guard<std::mutex> lock(noted_mutex);
  return noted.insert(key).second;
}

struct SettingsFile {
  const char* setting;
  const char* path;  // nullptr or "": not configured
  bool secret;       // the site's credentials or token
};

}  // namespace

bool IsNotRegularFile(const char* path) {
  struct stat info {};
  return path != nullptr && *path != '\0' && stat(path, &info) == 0 && !S_ISREG(info.st_mode);
}

void NoteNotRegularFile(const char* setting) {
  if (FirstTime(std::string("type:") + setting)) {
    LogFormat("Error: %s - not a regular file", setting);
  }
}

void NoteReadableByOthers(const char* path) {
  if (FirstTime(std::string("others:") + path)) {
    LogFormat("Warning: %s is readable by other users", path);
  }
}

void CheckSettingsFiles(const SiteSettings& settings) {
  const SettingsFile files[] = {
      {"AWS_SHARED_CREDENTIALS_FILE", settings.credentials_file.c_str(), true},
      {"NETWORKPROXY_REPORT_TOKEN_FILE", settings.report_token_file.c_str(), true},
      {"NETWORKPROXY_FIRMWARE_PUBLIC_KEY", settings.firmware_public_key.c_str(), false},
      {"NETWORKPROXY_REPORT_CA", settings.report_ca.c_str(), false},
  };
  for (const SettingsFile& file : files) {
    struct stat info {};
    if (file.path == nullptr || *file.path == '\0' || stat(file.path, &info) != 0) continue;
    if (!S_ISREG(info.st_mode)) {
      NoteNotRegularFile(file.setting);
    } else if (file.secret && (info.st_mode & S_IROTH) != 0) {
      NoteReadableByOthers(file.path);
    }
  }
}
