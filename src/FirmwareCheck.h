// FirmwareCheck: one firmware update check against the bucket: the version
// file, the image's key, the image written whole, and the hand-off to the
// update script.
//
// Threads: the update worker only (tests call the helpers from anywhere).
#ifndef NETWORKPROXY_FIRMWARECHECK_H_
#define NETWORKPROXY_FIRMWARECHECK_H_

#include <chrono>
#include <cstddef>
#include <string>

#include "Credentials.h"
#include "FirmwareSignature.h"
#include "Intervals.h"
#include "S3Client.h"

// The update script, the command that hands off to it, and the object that
// names the published version.
constexpr const char* kVersionKey = "update.txt";
constexpr const char* kUpdateScript = "./fw-update.sh";
// Where the sample sudo rule (CWD=) runs the script for a daemon that runs
// as its own user: a root-owned folder that user cannot write.
constexpr const char* kPinnedUpdateScript = "/etc/networkproxy/fw-update.sh";
constexpr const char* kHandOffCommand = "sudo /bin/sh ./fw-update.sh &";

// The firmware check's part of the configuration, defaults filled in.
struct FirmwareSource {
  std::string region;            // NETWORKPROXY_FIRMWARE_REGION, else built in
  std::string bucket;            // NETWORKPROXY_FIRMWARE_BUCKET, else built in
  std::string endpoint;          // S3Endpoint(); empty: AWS
  std::string credentials_file;  // AWS_SHARED_CREDENTIALS_FILE; empty: none
  std::string profile;           // AWS_PROFILE
  std::string public_key_file;   // NETWORKPROXY_FIRMWARE_PUBLIC_KEY; empty: no signatures
  std::string image_path;        // where a new image is written (-f)
};

// The two downloads' bounds and deadlines live in Intervals.h, with the
// other intervals (the watchdog reads them there too).
constexpr S3Client::Limits kVersionFileLimits{kMaxVersionFileBytes, kVersionFileDeadline};

// Takes the published version out of the version file's bytes: its first
// line (up to LF or the end) without a leading UTF-8 byte-order mark and
// without trailing spaces, tabs and CRs, cut to 31 characters. `out`
// receives a NUL-terminated text.
void ReadPublishedVersion(const std::string& version_file, char (&out)[32]);

// True when `version` is non-empty and made only of A-Z a-z 0-9 . _ + -,
// so that it names an image key and nothing else.
bool IsUsableVersion(const char* version);

// Builds "Version_<version>.hex" into `out`, cut to fit.
void BuildImageKey(const char* version, char (&out)[64]);

// What a check decided: nothing (the versions match, or the check failed),
// or hand off to the update script: the image of `version` is written
// whole, the hand-off recorded and announced ("Handing off firmware ...").
struct FirmwareDecision {
  bool hand_off = false;
  std::string version;
  // The script's credentials, passed to it in its environment.
  S3Credentials credentials;
};

// One check against `source`: reads the published version and, when it
// differs from `controller_version` (empty: unknown), downloads the image
// to the source's image path and decides to hand off. `key` is the site's
// signing key, null when none is configured; with one, a published version
// must be a release number no older than the higher of the controller's
// and `floor` (FirmwareFloor; empty: none). A version held after failed
// installs (HandOffGuard) is not downloaded; a newer one ends the hold.
// The requests go through `connection`, which the caller keeps from one
// check to the next. Every failure is logged and ends the check; the next
// one starts afresh, but for what arrived of a cut image (ImageDownload.h).
FirmwareDecision CheckFirmware(const FirmwareSource& source, const FirmwarePublicKey* key,
                               const std::string& controller_version, const std::string& floor,
                               S3Handle& connection);

// Carries out a hand-off: runs kHandOffCommand with /bin/sh, as the system
// shell would, with the process environment and `credentials` in it
// (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, and AWS_SESSION_TOKEN when it
// has one), and returns once the shell has put the script in the
// background. The daemon ends with status 0 afterwards, whatever this says.
Status StartUpdateScript(const S3Credentials& credentials);

#endif  // NETWORKPROXY_FIRMWARECHECK_H_
