#include "FirmwareCheck.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "ChildProcess.h"
#include "EventLog.h"
#include "FirmwareImage.h"
#include "HandOffGuard.h"
#include "SafeReason.h"
#include "ServiceStatus.h"
#include "VersionOrder.h"

namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// Ends the check as failed: `line` is logged, `summary` (the line itself
// unless given) goes to the operator's status.
void FailCheck(const std::string& line, const std::string& summary = std::string()) {
  LogLine(line);
  service_status().NoteCheckFailure(summary.empty() ? line : summary);
}

// Fails with the error line when a hand-off of `version` happened so
// recently that the controller's version should have changed by now.
Status EarlierHandOff(const char* version, const std::string& controller) {
  HandOffRecord last;
  if (!ReadHandOffRecord(kHandOffRecordFile, &last) ||
      !HandOffHeldBack(last, version, std::time(nullptr))) {
    return Status::Ok();
  }
  return Status::Error(StillOldLine(last, controller));
}

// Fails with the system's reason unless the update script is where sudo
// will run it: without it nobody would restart the daemon after the exit.
// sudo run by root takes ./fw-update.sh from the working folder; for a
// daemon run as its own user, the sample sudo rule runs root's script in the
// folder it pins instead.
Status UpdateScriptPresent() {
  if (access(kUpdateScript, F_OK) == 0) return Status::Ok();
  const Status missing = Status::FromErrno(errno);
  if (geteuid() != 0 && access(kPinnedUpdateScript, F_OK) == 0) return Status::Ok();
  return missing;
}

// Fails with the error line when a site with a signing key would go
// backwards: the published version is older than the higher of the
// controller's answer and the floor (the newest it has run), so a silent
// controller keeps the rule. Without a key any other version is taken.
Status DowngradeRefusal(const char* published, const FirmwarePublicKey* key,
                        const std::string& controller, const std::string& floor) {
  if (key == nullptr) return Status::Ok();
  const bool by_controller =
      !controller.empty() && (floor.empty() || CompareVersions(controller, floor) >= 0);
  const std::string& newest = by_controller ? controller : floor;
  if (newest.empty() || CompareVersions(published, newest) >= 0) return Status::Ok();
  if (by_controller) {
    return Status::Error(std::string("Error: Firmware ") + published +
                         " is older than the controller's " + controller + " - downgrade refused");
  }
  return Status::Error(std::string("Error: Firmware ") + published + " is older than " + floor +
                       ", the newest the controller has run - downgrade refused");
}

// The held version after a check saw `published`: a newer one ends the
// hold (the tool's retry ends it too, by removing the file).
std::string HeldVersionAfter(const char* published) {
  std::string held = ReadHeldVersion(kHeldVersionFile);
  if (!held.empty() && CompareVersions(published, held) > 0) {
    const Status ended = EndHold(kHeldVersionFile);
    if (ended.ok()) {
      LogLine("Firmware " + held + " no longer held: " + published + " published");
      held.clear();
    } else {
      LogLine(FailureLine(("Error: Ending the hold on firmware " + held).c_str(), ended.reason()));
    }
  }
  service_status().SetFirmwareHeld(!held.empty());
  return held;
}

// Fails with the error line when a site with a signing key is offered a
// version that is not a release number: it could not be placed in the
// release order, so the downgrade rule could not hold. Without a key any
// version is taken, as ever.
Status ReleaseRefusal(const char* published, const FirmwarePublicKey* key) {
  if (key == nullptr || IsReleaseNumber(published)) return Status::Ok();
  return Status::Error(std::string("Error: Firmware version ") + published +
                       " is not a release number - refused");
}

// Decides on `published` (not the controller's version): true when the
// image is written and the hand-off recorded and announced; otherwise the
// check failed here (logged).
bool PrepareHandOff(const FirmwareSource& source, const FirmwarePublicKey* key,
                    const S3Client& client, const S3Credentials& credentials,
                    const char* published, const std::string& controller,
                    const std::string& floor, const std::string& held) {
  const Status release = ReleaseRefusal(published, key);
  if (!release.ok()) {
    FailCheck(release.reason());
    return false;
  }
  const Status downgrade = DowngradeRefusal(published, key, controller, floor);
  if (!downgrade.ok()) {
    FailCheck(downgrade.reason());
    return false;
  }
  if (held == published) {
    // Not a failed check: the site does what it was told after three
    // failed installs; the hold has its own figure and alert.
    LogLine(HeldLine(held));
    service_status().NoteCheckHeld(HeldLine(held));
    return false;
  }
  const Status earlier = EarlierHandOff(published, controller);
  if (!earlier.ok()) {
    FailCheck(earlier.reason(), std::string("Error: Update to ") + published +
                                    " held back: the controller still reports the old version");
    return false;
  }
  const Status script = UpdateScriptPresent();
  if (!script.ok()) {
    FailCheck(FailureLine("Error: Update script not found", script.reason()));
    return false;
  }
  char image_key[64];
  BuildImageKey(published, image_key);
  ImageDigest digest;
  const Status fetched = FetchImage(client, credentials, source.bucket, source.image_path, key,
                                    image_key, published, &digest);
  if (!fetched.ok()) {
    const bool signature = fetched.reason().rfind("Error: Firmware signature", 0) == 0;
    FailCheck(fetched.reason(), signature ? kSignatureFailureSummary : std::string());
    return false;
  }
  // Recorded before the hand-off, so that a restarted daemon whose
  // controller still reports the old version does not hand off again, and
  // counts the attempts of one version towards its hold.
  HandOffRecord last;
  const bool had_record = ReadHandOffRecord(kHandOffRecordFile, &last);
  const Status recorded = WriteHandOffRecord(
      kHandOffRecordFile,
      HandOffRecord{published, std::time(nullptr),
                    NextHandOffAttempt(had_record ? &last : nullptr, published)});
  if (!recorded.ok()) {
    FailCheck("Error: Recording the hand-off: " + recorded.reason(),
              "Error: Recording the hand-off");
    return false;
  }
  // The last line before the exit says what the script was given, in the
  // log and in systemctl status.
  const std::string handing_off = std::string("Handing off firmware ") + published + " (" +
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
  if (!run.start.ok()) return Status::Error("/bin/sh: " + run.start.reason());
  return Status::Ok();
}

FirmwareDecision CheckFirmware(const FirmwareSource& source, const FirmwarePublicKey* key,
                               const std::string& controller, const std::string& floor,
                               S3Handle& connection) {
  FirmwareDecision decision;
  LogLine("Checking for firmware update");
  if (key != nullptr && !key->usable()) {
    FailCheck(key->ProblemLine(), "Error: Firmware public key unusable");
    return decision;
  }
  S3Credentials credentials;
  const CredentialsLookup lookup =
      LookUpSiteCredentials(source.credentials_file, source.profile, credentials);
  if (lookup.source == CredentialsSource::kError) {
    const std::string line = "Error: Credentials file - " + lookup.error;
    FailCheck(lookup.system_error != 0 ? line + ": " + std::strerror(lookup.system_error) : line,
              line);
    return decision;
  }

  S3Client client(source.region, credentials, source.endpoint, &connection);
  S3Client::Object version_file = client.GetObject(source.bucket, kVersionKey, kVersionFileLimits);
  if (!version_file.ok) {
    FailCheck(FailureLine("Error: Reading the version file", version_file.error,
                          {credentials.secret_access_key, credentials.access_key_id,
                           credentials.session_token}));
    return decision;
  }
  char published[32];
  ReadPublishedVersion(version_file.body, published);
  if (!IsUsableVersion(published)) {
    // The version becomes part of an object key: "/" or ".." in it could
    // reach another bucket through a path-normalising endpoint.
    FailCheck("Error: Version file holds no usable version");
    return decision;
  }
  const std::string held = HeldVersionAfter(published);
  if (controller == published) {
    LogLine("Versions match. No update required");
  } else {
    LogFormat("Version Mismatch - published %s, controller %s", published,
              !controller.empty() ? controller.c_str() : "unknown");
    if (PrepareHandOff(source, key, client, credentials, published, controller, floor, held)) {
      decision.hand_off = true;
      decision.version = published;
      decision.credentials = credentials;
    }
  }
  return decision;
}
