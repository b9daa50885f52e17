#include "FirmwareStatement.h"

#include <unistd.h>

#include <cerrno>
#include <memory>

#include <openssl/evp.h>

namespace {

// Read size when hashing a file: large enough to keep the system calls
// few, small enough for the stack of a worker thread.
constexpr std::size_t kHashChunkBytes = 64 * 1024;

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using HashContext = std::unique_ptr<EVP_MD_CTX, ContextFree>;

HashContext NewSha256() {
  HashContext context(EVP_MD_CTX_new());
  if (context != nullptr && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    context.reset();
  }
  return context;
}

std::string FinishHex(EVP_MD_CTX* context) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, digest, &length) != 1) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace

ImageDigest DigestOf(const std::string& image) {
  ImageDigest out;
  out.size = image.size();
  HashContext context = NewSha256();
  if (context != nullptr && EVP_DigestUpdate(context.get(), image.data(), image.size()) == 1) {
    out.sha256 = FinishHex(context.get());
  }
  return out;
}

FileDigest DigestOfFile(int fd) {
  FileDigest out;
  HashContext context = NewSha256();
  if (context == nullptr) {
    out.status = Status::Error("cannot start SHA-256");
    return out;
  }
  char buffer[kHashChunkBytes];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      out.status = Status::FromErrno(errno);
      return out;
    }
    if (got == 0) break;
    EVP_DigestUpdate(context.get(), buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  out.digest.size = static_cast<std::uint64_t>(offset);
  out.digest.sha256 = FinishHex(context.get());
  if (out.digest.sha256.empty()) out.status = Status::Error("SHA-256 failed");
  return out;
}

std::string FirmwareStatementText(const std::string& version, const ImageDigest& digest) {
  return "networkproxy-firmware-v1\nversion " + version + "\nsize " +
         std::to_string(digest.size) + "\nsha256 " + digest.sha256 + "\n";
}
