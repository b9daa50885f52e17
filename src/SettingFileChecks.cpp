// The checks of SettingChecks.h that read files: token, CA bundle, public
// key, spool, folders and the serial device. Each only looks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <memory>

#include "Credentials.h"
#include "FirmwareSignature.h"
#include "ReportAccess.h"
#include "SettingChecks.h"
#include "SmallFile.h"
#include "Spool.h"

namespace {

// Bound of a CA bundle: far above a real one, far below harm. The token
// and key files are bounded as the daemon bounds them.
constexpr std::size_t kMaxCaFileSize = 4 * 1024 * 1024;

// The file's bytes, or a reason naming the file's trouble.
struct FileText {
  Status status;
  std::string text;
};

FileText ReadFile(const std::string& path, std::size_t max_size) {
  FileText file;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    file.status = Status::FromErrno(errno);
    return file;
  }
  if (!S_ISREG(info.st_mode)) {
    file.status = Status::Error("not a regular file");
    return file;
  }
  const int error = ReadSmallFile(path.c_str(), max_size, file.text);
  if (error == EFBIG) {
    file.status = Status::Error("larger than " + std::to_string(max_size) + " bytes");
  } else if (error != 0) {
    file.status = Status::FromErrno(error);
  }
  return file;
}

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

std::unique_ptr<BIO, BioFree> MemoryBio(const std::string& text) {
  return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// libcrypto's reason for the last failure, and its error queue emptied.
std::string CryptoReason() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : "unreadable";
}

// The folder part of `path` ("." for a bare file name).
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Status CheckTokenFile(const std::string& path) {
  FileText file = ReadFile(path, kMaxTokenFileSize);
  if (!file.status.ok()) return file.status;
  const std::size_t end = file.text.find_first_of("\r\n");
  const bool first_empty = end == 0 || file.text.empty();
  const bool more = end != std::string::npos &&
                    file.text.find_first_not_of("\r\n \t", end) != std::string::npos;
  WipeString(file.text);
  if (first_empty) return Status::Error("the first line (the token) is empty");
  if (more) return Status::Error("more than one line: only the first is sent as the token");
  return Status::Ok();
}

Status CheckCaFile(const std::string& path) {
  FileText file = ReadFile(path, kMaxCaFileSize);
  if (!file.status.ok()) return file.status;
  auto bio = MemoryBio(file.text);
  int certificates = 0;
  while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    X509_free(certificate);
    ++certificates;
  }
  // The loop ends at the end of the text ("no start line") or at a block it
  // could not read.
  const unsigned long last = ERR_peek_last_error();
  const bool at_end = ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
  const std::string reason = CryptoReason();
  if (certificates == 0 && at_end) return Status::Error("no PEM certificate in it");
  if (!at_end) return Status::Error("not PEM certificates: " + reason);
  return Status::Ok();
}

Status CheckPublicKeyFile(const std::string& path) {
  FileText file = ReadFile(path, kMaxKeyFileSize);
  if (!file.status.ok()) return file.status;
  // The daemon's own parse: check passes exactly the keys it takes.
  const FirmwarePublicKey key = FirmwarePublicKey::FromPem(file.text, path);
  const bool private_key = file.text.find("PRIVATE KEY") != std::string::npos;
  WipeString(file.text);
  if (key.usable()) return Status::Ok();
  if (private_key) return Status::Error("a private key: give the public one (openssl pkey -pubout)");
  return Status::Error(key.Problem());
}

Status CheckWritableFolderOf(const std::string& path) {
  const std::string folder = FolderOf(path);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) return Status::FromErrno(errno, "folder " + folder);
  if (!S_ISDIR(info.st_mode)) return Status::Error("folder " + folder + ": not a folder");
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return Status::FromErrno(errno, "folder " + folder + " is not writable");
  }
  return Status::Ok();
}

Status CheckSpoolFile(const std::string& path) {
  Status folder = CheckWritableFolderOf(path);
  if (!folder.ok()) return folder;
  // Not followed: check runs as root, and a link in the service's folder
  // may point at any database (a FIFO is refused before it can block).
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    // A spool not made yet is made at start-up.
    return errno == ENOENT ? Status::Ok() : Status::FromErrno(errno);
  }
  if (!S_ISREG(info.st_mode)) return Status::Error("not a regular file");
  // Opened as the tool opens a spool: read-only, never through a link, its
  // schema untrusted, its work bounded.
  std::unique_ptr<SpoolFile> spool;
  std::string verdict;
  Status status = SpoolFile::Open(path, SpoolAccess::kReadOnly, &spool);
  if (status.ok()) status = spool->QuickCheck(&verdict);
  if (!status.ok()) return Status::Error("cannot be read as a spool: " + status.reason());
  if (verdict != "ok") return Status::Error("damaged (" + verdict + "); the daemon will move it aside");
  return Status::Ok();
}

Status CheckSerialDevice(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return Status::FromErrno(errno);
  if (!S_ISCHR(info.st_mode)) return Status::Error("not a terminal");
  // Without O_NONBLOCK the open could wait for a modem line; the descriptor
  // is closed at once and never configured.
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // The running daemon holds the port for itself: it exists and works.
    if (errno == EBUSY) return Status::Ok();
    return Status::FromErrno(errno, "cannot open it");
  }
  const bool terminal = isatty(fd) == 1;
  close(fd);
  return terminal ? Status::Ok() : Status::Error("not a terminal");
}
