#include "FirmwareCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "ChildProcess.h"
#include "WriteAll.h"
#include "Credentials.h"
#include "EventLog.h"
#include "FirmwareSignature.h"
#include "HandOffGuard.h"
#include "ImageFile.h"
#include "S3Client.h"
#include "SafeReason.h"
#include "ServiceStatus.h"
#include "VersionOrder.h"

namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// The credentials for this check, or false after logging why there are none.
bool CheckCredentials(const FirmwareSource& source, S3Credentials& credentials) {
  CredentialsLookup lookup = LookUpSiteCredentials(source.credentials_file, source.profile, credentials);
  if (lookup.source != CredentialsSource::kError) return true;
  if (lookup.system_error != 0) {
    LogSystemError(lookup.system_error, "Error: Credentials file - %s", lookup.error.c_str());
  } else {
    LogFormat("Error: Credentials file - %s", lookup.error.c_str());
  }
  service_status().NoteCheckFailure("Error: Credentials file - " + lookup.error);
  return false;
}

// The time of a hand-off as the log writes times.
std::string LocalTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64] = {0};
  std::strftime(text, sizeof text, "%Y-%m-%d %X", &local);
  return text;
}

// True when a hand-off of `version` happened so recently that the
// controller's version should have changed by now (logged).
bool HeldBackByEarlierHandOff(const char* version, const std::string& controller) {
  HandOffRecord last;
  if (!ReadHandOffRecord(kHandOffRecordFile, &last) ||
      !HandOffHeldBack(last, version, std::time(nullptr))) {
    return false;
  }
  LogFormat("Error: Update to %s was handed off at %s; the controller still reports %s",
            version, LocalTime(last.time).c_str(),
            !controller.empty() ? controller.c_str() : "no version");
  service_status().NoteCheckFailure("Error: Update to " + std::string(version) +
                                    " held back: the controller still reports the old version");
  return true;
}

// Logs a failed image download with its reason, never the credentials'
// texts, and marks the check failed.
void NoteDownloadFailure(const std::string& reason, const S3Credentials& credentials) {
  service_status().NoteCheckFailure(
      LogFailure("Error: Downloading firmware file", reason,
                 {credentials.secret_access_key, credentials.access_key_id,
                  credentials.session_token}));
}

// Logs a failed image write with the system's reason (`error`, an errno
// value taken right after the failed call) and marks the check failed.
void NoteWriteFailure(int error) {
  service_status().NoteCheckFailure(
      LogFailure("Error: Writing firmware file", std::strerror(error)));
}

// Downloads `image_key` straight into its temporary file, so the image never
// has to fit in memory, and renames it over firmware_file_path. `digest`
// receives the size and SHA-256 of what was written, read back from the
// file. Returns false after logging why it failed.
bool StreamImage(const FirmwareSource& source, const S3Client& client,
                 const S3Credentials& credentials, const char* image_key, ImageDigest* digest) {
  ImageTempFile image_file(source.image_path);
  if (!image_file.ok()) {
    NoteWriteFailure(errno);
    return false;
  }
  S3Client::Object image =
      client.GetObjectToFile(source.bucket, image_key, image_file.fd(), kImageLimits);
  if (!image.ok) {
    NoteDownloadFailure(image.error, credentials);
    return false;
  }
  LogLine("Downloading firmware file");
  FileDigest written = DigestOfFile(image_file.fd());
  if (!written.status.ok()) {
    service_status().NoteCheckFailure(
        LogFailure("Error: Writing firmware file", written.status.reason()));
    return false;
  }
  if (!image_file.Commit()) {
    NoteWriteFailure(errno);
    return false;
  }
  *digest = written.digest;
  return true;
}

// Downloads `image_key` into memory (within the image bound), verifies its
// signature over the statement for `version` and exactly those bytes, and
// only then writes them to firmware_file_path and the verified signature
// beside them (for the update script to check again). Returns false after
// logging why it failed.
bool FetchSignedImage(const FirmwareSource& source, const FirmwarePublicKey& key,
                      const S3Client& client, const S3Credentials& credentials,
                      const char* image_key, const char* version, ImageDigest* digest) {
  S3Client::Object image = client.GetObject(source.bucket, image_key, kImageLimits);
  if (!image.ok) {
    NoteDownloadFailure(image.error, credentials);
    return false;
  }
  LogLine("Downloading firmware file");
  const ImageDigest downloaded = DigestOf(image.body);
  std::string signature;
  if (!FirmwareSignatureAccepted(client, key, source.bucket, image_key, version, downloaded,
                                 &signature)) {
    service_status().NoteCheckFailure("Error: Firmware signature missing or not valid");
    return false;
  }
  if (!WriteImageFile(source.image_path, image.body) ||
      !WriteImageFile(source.image_path + kImageSignatureSuffix, signature)) {
    NoteWriteFailure(errno);
    return false;
  }
  *digest = downloaded;
  return true;
}

// True when the update script is where sudo will run it; otherwise logs
// why not. Without the script nobody would restart the daemon after the
// exit. sudo run by root takes ./fw-update.sh from the working folder; for a
// daemon run as its own user, the sample sudo rule runs root's script in the
// folder it pins instead.
bool UpdateScriptPresent() {
  if (access(kUpdateScript, F_OK) == 0) return true;
  const int error = errno;
  if (geteuid() != 0 && access(kPinnedUpdateScript, F_OK) == 0) return true;
  service_status().NoteCheckFailure(
      LogFailure("Error: Update script not found", std::strerror(error)));
  return false;
}

// True (logged) when a site with a signing key would go backwards: the
// published version is older than the controller's known one. Without a
// key, or without the controller's version, any other version is taken.
bool DowngradeRefused(const char* published, const FirmwarePublicKey* key,
                      const std::string& controller) {
  if (key == nullptr || controller.empty() || CompareVersions(published, controller.c_str()) >= 0) {
    return false;
  }
  const std::string line = std::string("Error: Firmware ") + published +
                           " is older than the controller's " + controller +
                           " - downgrade refused";
  LogLine(line);
  service_status().NoteCheckFailure(line);
  return true;
}

// Downloads the image `image_key` of `version` and decides to hand off;
// false when that failed (logged).
bool UpdateTo(const FirmwareSource& source, const FirmwarePublicKey* key,
              const S3Client& client, const S3Credentials& credentials,
              const char* image_key, const char* version) {
  if (!UpdateScriptPresent()) return false;
  ImageDigest digest;
  if (!(key != nullptr
            ? FetchSignedImage(source, *key, client, credentials, image_key, version, &digest)
            : StreamImage(source, client, credentials, image_key, &digest))) {
    return false;
  }
  // Recorded before the hand-off, so that a restarted daemon whose
  // controller still reports the old version does not hand off again.
  if (!WriteHandOffRecord(kHandOffRecordFile, HandOffRecord{version, std::time(nullptr)})) {
    LogSystemError(errno, "Error: Recording the hand-off");
    service_status().NoteCheckFailure("Error: Recording the hand-off");
    return false;
  }
  // The last line before the exit says what the script was given, in the
  // log and in systemctl status.
  const std::string handing_off = std::string("Handing off firmware ") + version + " (" +
                                  std::to_string(digest.size) + " bytes, sha256 " +
                                  digest.sha256 + ") to " + kUpdateScript;
  LogLine(handing_off);
  service_status().Announce(handing_off);
  return true;
}

// The process environment without the cloud credentials' names, then the
// credentials for the update script.
std::vector<std::string> HandOffEnvironment(const S3Credentials& credentials) {
  std::vector<std::string> entries;
  {
    std::lock_guard<std::mutex> lock(environment_mutex);
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      const std::string name = text.substr(0, text.find('='));
      if (name == "AWS_ACCESS_KEY_ID" || name == "AWS_SECRET_ACCESS_KEY" ||
          name == "AWS_SESSION_TOKEN") {
        continue;
      }
      entries.push_back(text);
    }
  }
  entries.push_back("AWS_ACCESS_KEY_ID=" + credentials.access_key_id);
  entries.push_back("AWS_SECRET_ACCESS_KEY=" + credentials.secret_access_key);
  if (!credentials.session_token.empty()) {
    entries.push_back("AWS_SESSION_TOKEN=" + credentials.session_token);
  }
  return entries;
}

}  // namespace

void ReadPublishedVersion(const std::string& version_file, char (&out)[32]) {
  std::memset(out, 0, sizeof out);
  std::size_t line_end = version_file.find('\n');
  std::size_t begin = 0;
  std::size_t end = line_end == std::string::npos ? version_file.size() : line_end;
  // Editors add a byte-order mark and trailing blanks that nobody sees; the
  // version must still match the controller's.
  if (version_file.compare(0, sizeof kUtf8Bom - 1, kUtf8Bom) == 0) {
    begin = sizeof kUtf8Bom - 1;
  }
  while (end > begin && (version_file[end - 1] == ' ' || version_file[end - 1] == '\t' ||
                         version_file[end - 1] == '\r')) {
    --end;
  }
  std::size_t length = std::min(end - begin, sizeof out - 1);
  std::memcpy(out, version_file.data() + begin, length);
}

bool IsUsableVersion(const char* version) {
  if (*version == '\0') return false;
  for (const char* p = version; *p != '\0'; ++p) {
    const char c = *p;
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '+' ||
                         c == '-';
    if (!allowed) return false;
  }
  return true;
}

void BuildImageKey(const char* version, char (&out)[64]) {
  std::memset(out, 0, sizeof out);
  std::snprintf(out, sizeof out, "Version_%s.hex", version);
}

bool WriteImageFile(const std::string& target, const std::string& image) {
  ImageTempFile file(target);
  return file.ok() && WriteAll(file.fd(), image.data(), image.size()) && file.Commit();
}

Status StartUpdateScript(const S3Credentials& credentials) {
  std::vector<std::string> environment = HandOffEnvironment(credentials);
  std::vector<const char*> envp;
  for (const std::string& entry : environment) envp.push_back(entry.c_str());
  envp.push_back(nullptr);
  // The shell puts the script in the background and ends at once; the
  // script keeps the daemon's standard output and error, as ever.
  const char* const argv[] = {"/bin/sh", "-c", kHandOffCommand, nullptr};
  const ChildResult run = RunCapture(argv, nullptr, 0, nullptr, 0, envp.data());
  for (std::string& entry : environment) WipeString(entry);
  if (!run.started) return Status::FromErrno(run.error, "/bin/sh");
  return Status::Ok();
}

FirmwareDecision CheckFirmware(const FirmwareSource& source, const FirmwarePublicKey* key,
                               const std::string& controller) {
  FirmwareDecision decision;
  LogLine("Checking for firmware update");
  if (key != nullptr && !key->usable()) {
    key->LogProblem();
    service_status().NoteCheckFailure("Error: Firmware public key unusable");
    return decision;
  }
  S3Credentials credentials;
  if (!CheckCredentials(source, credentials)) return decision;

  S3Client client(source.region, credentials, source.endpoint);
  S3Client::Object version_file = client.GetObject(source.bucket, kVersionKey, kVersionFileLimits);
  if (!version_file.ok) {
    service_status().NoteCheckFailure(
        LogFailure("Error: Reading the version file", version_file.error,
                   {credentials.secret_access_key, credentials.access_key_id,
                    credentials.session_token}));
  } else {
    char published[32];
    ReadPublishedVersion(version_file.body, published);
    if (!IsUsableVersion(published)) {
      // The version becomes part of an object key: "/" or ".." in it could
      // reach another bucket through a path-normalising endpoint.
      LogLine("Error: Version file holds no usable version");
      service_status().NoteCheckFailure("Error: Version file holds no usable version");
    } else if (controller == published) {
      LogLine("Versions match. No update required");
    } else {
      LogFormat("Version Mismatch - published %s, controller %s", published,
                !controller.empty() ? controller.c_str() : "unknown");
      if (!DowngradeRefused(published, key, controller) &&
          !HeldBackByEarlierHandOff(published, controller)) {
        char image_key[64];
        BuildImageKey(published, image_key);
        if (UpdateTo(source, key, client, credentials, image_key, published)) {
          decision.hand_off = true;
          decision.version = published;
          decision.credentials = credentials;
        }
      }
    }
  }
  return decision;
}
