// FirmwareImage: getting a published image onto disk for the update script:
// downloaded into memory (resuming what an earlier check kept, see
// ImageDownload.h), its signature verified over exactly those bytes when a
// signing key is configured, then written whole (with the verified
// signature beside it).
//
// Threads: the update worker.
#ifndef NETWORKPROXY_FIRMWAREIMAGE_H_
#define NETWORKPROXY_FIRMWAREIMAGE_H_

#include <string>

#include "Credentials.h"
#include "FirmwareSignature.h"
#include "FirmwareStatement.h"
#include "Intervals.h"
#include "S3Client.h"
#include "Status.h"

constexpr S3Client::Limits kImageLimits{kMaxImageBytes, kImageDeadline};

// The operator's status for a failed signature step, whichever it was.
constexpr const char* kSignatureFailureSummary = "Error: Firmware signature missing or not valid";

// Downloads `image_key` of `version` from `bucket` with `client` and writes
// it whole to `image_path` (and, with `key`, the verified signature to
// "<image_path>.sig"); `digest` receives the size and SHA-256 of what was
// written. Logs "Downloading firmware file" once the image is in. A failure
// carries the whole error line for the caller to write: "Error: Downloading
// firmware file - <reason>" (never a credential's text), "Error: Writing
// firmware file - <reason>", or the signature's own line (FirmwareSignature.h).
Status FetchImage(const S3Client& client, const S3Credentials& credentials,
                  const std::string& bucket, const std::string& image_path,
                  const FirmwarePublicKey* key, const char* image_key, const char* version,
                  ImageDigest* digest);

#endif  // NETWORKPROXY_FIRMWAREIMAGE_H_
