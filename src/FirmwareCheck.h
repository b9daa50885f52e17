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

#include "S3Client.h"
#include "Settings.h"

// The two downloads' bounds and deadlines live in Settings.h, with the
// other intervals (the watchdog reads them there too).
constexpr S3Client::Limits kVersionFileLimits{kMaxVersionFileBytes, kVersionFileDeadline};
constexpr S3Client::Limits kImageLimits{kMaxImageBytes, kImageDeadline};

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

// Writes `image` to `target` through a synced temporary file in the same
// folder, renamed over it, so the path never holds a partial image. Returns
// false (and leaves no temporary file) when any step fails.
bool WriteImageFile(const std::string& target, const std::string& image);

// One check: reads the published version and, when it differs from
// firmware_version, downloads the image to firmware_file_path, starts the
// update script and ends the process with status 0. Every failure is logged
// and ends the check; the next one starts afresh.
void CheckFirmware();

#endif  // NETWORKPROXY_FIRMWARECHECK_H_
