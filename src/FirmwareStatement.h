// FirmwareStatement: what a firmware signature covers. The release key signs
// this ASCII text, LF line ends, final LF included:
//
//   networkproxy-firmware-v1
//   version <v>
//   size <image size in bytes, decimal>
//   sha256 <image SHA-256, 64 lowercase hex digits>
//
// so a signature names the version it was made for: an old image copied
// under a new version's name no longer verifies. The daemon and
// networkproxyctl both compose it from the image they hold; nobody writes
// it by hand.
//
// Pure functions of their arguments (DigestOfFile reads a descriptor the
// caller owns): any thread.
#ifndef NETWORKPROXY_FIRMWARESTATEMENT_H_
#define NETWORKPROXY_FIRMWARESTATEMENT_H_

#include <cstdint>
#include <string>

#include "Status.h"

// Size and SHA-256 of one image.
struct ImageDigest {
  std::uint64_t size = 0;
  std::string sha256;  // 64 lowercase hex digits
};

// The digest of bytes in memory.
ImageDigest DigestOf(const std::string& image);

// The digest of everything in the open file `fd`, read from its start
// (pread: the file offset is left alone). `status` tells why it failed
// (the system's text of the failed read).
struct FileDigest {
  Status status;
  ImageDigest digest;
};
FileDigest DigestOfFile(int fd);

// The statement for `version` and `digest`, exactly as signed.
std::string FirmwareStatementText(const std::string& version, const ImageDigest& digest);

#endif  // NETWORKPROXY_FIRMWARESTATEMENT_H_
