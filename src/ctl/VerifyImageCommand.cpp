// networkproxyctl verify-image: checks an image and its signature the way the
// daemon does, for the update script that runs as root and must not take the
// service user's word for what it is about to flash.
//
//   networkproxyctl verify-image --key PEM --version V --signature SIG
//                                [--not-older-than F] IMAGE
//
// Exit 0 and "verified <v> <n> bytes sha256 <hex>" when V is a release number
// no older than F (the script's own floor: the last release it flashed) and
// SIG is a valid signature of the firmware statement for V and IMAGE; 1 and
// one line with the reason otherwise; 2 for a usage error. IMAGE and SIG are
// opened without following a symbolic link: in a folder another user can
// write, a link could point root at any file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "CtlCommands.h"
#include "FirmwareCheck.h"
#include "FirmwareSignature.h"
#include "FirmwareStatement.h"
#include "PrintableText.h"
#include "Status.h"
#include "VersionOrder.h"

namespace {

constexpr const char* kUsage =
    "usage: networkproxyctl verify-image --key PEM --version V --signature SIG "
    "[--not-older-than F] IMAGE\n";

// A signature file is one short line at most, as in the bucket.
constexpr std::size_t kMaxSignatureFileBytes = 1024;

struct Arguments {
  const char* key = nullptr;
  const char* version = nullptr;
  const char* signature = nullptr;
  const char* not_older_than = nullptr;  // optional
  const char* image = nullptr;
};

// False for anything but the four values and the optional floor, each
// given once.
bool ParseArguments(int argc, char** argv, Arguments* out) {
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const char** slot = nullptr;
    if (std::strcmp(word, "--key") == 0) {
      slot = &out->key;
    } else if (std::strcmp(word, "--version") == 0) {
      slot = &out->version;
    } else if (std::strcmp(word, "--signature") == 0) {
      slot = &out->signature;
    } else if (std::strcmp(word, "--not-older-than") == 0) {
      slot = &out->not_older_than;
    } else if (word[0] == '-' && word[1] != '\0') {
      return false;
    } else if (out->image == nullptr) {
      out->image = word;
      continue;
    } else {
      return false;
    }
    if (*slot != nullptr || i + 1 >= argc) return false;
    *slot = argv[++i];
  }
  return out->key != nullptr && out->version != nullptr && out->signature != nullptr &&
         out->image != nullptr;
}

// An open regular file that is not a symbolic link, or why not.
struct OpenedFile {
  Status status;
  int fd = -1;
};

OpenedFile OpenPlainFile(const char* path) {
  OpenedFile out;
  out.fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  if (out.fd < 0) {
    // O_NOFOLLOW reports a link as ELOOP; say what it is.
    out.status = errno == ELOOP ? Status::Error("is a symbolic link") : Status::FromErrno(errno);
    return out;
  }
  struct stat info;
  if (fstat(out.fd, &info) != 0) {
    out.status = Status::FromErrno(errno);
  } else if (!S_ISREG(info.st_mode)) {
    out.status = Status::Error("not a regular file");
  }
  if (!out.status.ok()) {
    close(out.fd);
    out.fd = -1;
  }
  return out;
}

// Up to `max_bytes` + 1 bytes of `fd`, so that a caller can tell a file
// over the bound.
Status ReadBounded(int fd, std::size_t max_bytes, std::string* content) {
  char buffer[512];
  while (content->size() <= max_bytes) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Status::FromErrno(errno);
    if (got == 0) break;
    content->append(buffer, static_cast<std::size_t>(got));
  }
  return Status::Ok();
}

// Paths and versions come from the command line; reasons from the files.
int Fail(const std::string& line) {
  std::printf("%s\n", PrintableText(line).c_str());
  return kCtlFailed;
}

}  // namespace

int RunVerifyImage(int argc, char** argv) {
  Arguments args;
  if (!ParseArguments(argc, argv, &args)) {
    std::fputs(kUsage, stderr);
    return kCtlUsage;
  }
  // The version goes into the signed text line by line: only the characters
  // a published version may have.
  if (!IsUsableVersion(args.version) || std::strlen(args.version) > 31) {
    std::fprintf(stderr, "networkproxyctl verify-image: not a firmware version\n%s", kUsage);
    return kCtlUsage;
  }
  // A floor that is no release number cannot order anything: a broken
  // caller, not an image to refuse.
  if (args.not_older_than != nullptr && !IsReleaseNumber(args.not_older_than)) {
    std::fprintf(stderr,
                 "networkproxyctl verify-image: --not-older-than %s is not a release number\n%s",
                 PrintableText(args.not_older_than).c_str(), kUsage);
    return kCtlUsage;
  }
  // Refused before anything is read: a version with no place in the release
  // order could pass any floor.
  if (!IsReleaseNumber(args.version)) {
    return Fail(std::string("refused: ") + args.version + " is not a release number");
  }
  if (args.not_older_than != nullptr && CompareVersions(args.version, args.not_older_than) < 0) {
    return Fail(std::string("refused: ") + args.version + " is older than " + args.not_older_than);
  }
  const FirmwarePublicKey key = FirmwarePublicKey::FromFile(args.key);
  if (!key.usable()) return Fail(std::string("cannot use key ") + args.key + ": " + key.Problem());

  OpenedFile signature_file = OpenPlainFile(args.signature);
  if (!signature_file.status.ok()) {
    return Fail(std::string("cannot read ") + args.signature + ": " +
                signature_file.status.reason());
  }
  std::string signature_object;
  const Status read = ReadBounded(signature_file.fd, kMaxSignatureFileBytes, &signature_object);
  close(signature_file.fd);
  if (!read.ok()) return Fail(std::string("cannot read ") + args.signature + ": " + read.reason());

  OpenedFile image_file = OpenPlainFile(args.image);
  if (!image_file.status.ok()) {
    return Fail(std::string("cannot read ") + args.image + ": " + image_file.status.reason());
  }
  const FileDigest image = DigestOfFile(image_file.fd);
  close(image_file.fd);
  if (!image.status.ok()) {
    return Fail(std::string("cannot read ") + args.image + ": " + image.status.reason());
  }

  std::string signature;
  if (signature_object.size() > kMaxSignatureFileBytes ||
      !SignatureCoversImage(key, signature_object, args.version, image.digest, &signature)) {
    return Fail("signature not valid");
  }
  std::printf("verified %s %llu bytes sha256 %s\n", args.version,
              static_cast<unsigned long long>(image.digest.size), image.digest.sha256.c_str());
  return kCtlOk;
}
