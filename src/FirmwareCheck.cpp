#include "FirmwareCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ChildProcess.h"
#include "Credentials.h"
#include "EventLog.h"
#include "FirmwareSignature.h"
#include "S3Client.h"
#include "Settings.h"

namespace {

// Directory part of `path` ("." when it has none), for the temporary file
// that must live on the same file system as the image.
std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Puts the credentials into the environment for the update script alone:
// called right before the hand-off, after which the process ends. Other
// children start under the same lock, so none sees a half-rewritten
// environment.
void ExportForHandOff(const S3Credentials& credentials) {
  std::lock_guard<std::mutex> lock(environment_mutex);
  setenv("AWS_ACCESS_KEY_ID", credentials.access_key_id.c_str(), 1);
  setenv("AWS_SECRET_ACCESS_KEY", credentials.secret_access_key.c_str(), 1);
  if (credentials.session_token.empty()) {
    unsetenv("AWS_SESSION_TOKEN");
  } else {
    setenv("AWS_SESSION_TOKEN", credentials.session_token.c_str(), 1);
  }
}

// The credentials for this check, or false after logging why there are none.
bool CheckCredentials(S3Credentials& credentials) {
  CredentialsLookup lookup = LookUpSiteCredentials(credentials);
  if (lookup.source != CredentialsSource::kError) return true;
  if (lookup.system_error != 0) {
    LogSystemError(lookup.system_error, "Error: Credentials file - %s", lookup.error.c_str());
  } else {
    LogFormat("Error: Credentials file - %s", lookup.error.c_str());
  }
  return false;
}

// Downloads the image `image_key` and hands off; returns only when that
// failed (logged).
void UpdateTo(const S3Client& client, const S3Credentials& credentials,
              const char* image_key) {
  // Without the script nobody would restart the daemon after the exit.
  if (access(kUpdateScript, F_OK) != 0) {
    LogLine("Error: Update script not found");
    return;
  }
  S3Client::Object image = client.GetObject(FirmwareBucket(), image_key);
  if (!image.ok) {
    LogLine("Error: Downloading firmware file");
    return;
  }
  LogLine("Downloading firmware file");
  if (!FirmwareSignatureAccepted(client, FirmwareBucket(), image_key, image.body)) return;
  if (!WriteImageFile(firmware_file_path, image.body)) {
    LogLine("Error: Writing firmware file");
    return;
  }
  // The script inherits the credentials with the environment.
  ExportForHandOff(credentials);
  int ignored = std::system(kHandOffCommand);
  (void)ignored;
  EndProcess(0);
}

}  // namespace

void ReadPublishedVersion(const std::string& version_file, char (&out)[32]) {
  std::memset(out, 0, sizeof out);
  std::size_t line_end = version_file.find('\n');
  std::size_t line_length = line_end == std::string::npos ? version_file.size() : line_end;
  std::size_t length = line_length < sizeof out - 1 ? line_length : sizeof out - 1;
  // A version file saved with CR LF line ends must still match.
  if (length == line_length && length > 0 && line_end != std::string::npos &&
      version_file[length - 1] == '\r') {
    --length;
  }
  std::memcpy(out, version_file.data(), length);
}

void BuildImageKey(const char* version, char (&out)[64]) {
  std::memset(out, 0, sizeof out);
  std::snprintf(out, sizeof out, "Version_%s.hex", version);
}

bool WriteImageFile(const std::string& target, const std::string& image) {
  const std::string directory = DirectoryOf(target);
  std::string temp_name = directory + "/.networkproxy-image.XXXXXX";
  std::vector<char> temp_path(temp_name.begin(), temp_name.end());
  temp_path.push_back('\0');

  int fd = mkostemp(temp_path.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, image.data(), image.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp_path.data(), target.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp_path.data());
    return false;
  }
  // Make the rename itself durable before the script may reboot anything.
  int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}

void CheckFirmware() {
  LogLine("Checking for firmware update");
  if (!FirmwarePublicKeyUsable()) return;
  S3Credentials credentials;
  if (!CheckCredentials(credentials)) return;

  S3Client client(FirmwareRegion(), credentials);
  S3Client::Object version_file = client.GetObject(FirmwareBucket(), kVersionKey);
  if (!version_file.ok) {
    LogLine("Error: Reading the version file");
  } else {
    char published[32];
    ReadPublishedVersion(version_file.body, published);
    if (std::strncmp(published, firmware_version, sizeof published) == 0) {
      LogLine("Versions match. No update required");
    } else {
      LogLine("Version Mismatch");
      char image_key[64];
      BuildImageKey(published, image_key);
      UpdateTo(client, credentials, image_key);
    }
  }
}
