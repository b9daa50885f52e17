#include "ImageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "WriteAll.h"

namespace {

// Directory part of `path` ("." when it has none): the temporary file must
// live on the same file system as the image for the rename to be atomic.
std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

ImageTempFile::ImageTempFile(std::string target, const std::string& temp_pattern)
    : target_(std::move(target)), directory_(DirectoryOf(target_)) {
  const std::string name =
      temp_pattern.empty() ? directory_ + "/.networkproxy-image.XXXXXX" : temp_pattern;
  std::vector<char> path(name.begin(), name.end());
  path.push_back('\0');
  fd_ = mkostemp(path.data(), O_CLOEXEC);
  if (fd_ < 0) {
    created_ = Status::FromErrno(errno);
    return;
  }
  temp_path_ = path.data();
  if (fchmod(fd_, 0640) != 0) {
    created_ = Status::FromErrno(errno);
    close(fd_);
    fd_ = -1;
    unlink(temp_path_.c_str());
  }
}

ImageTempFile::~ImageTempFile() {
  if (fd_ >= 0) {
    close(fd_);
    unlink(temp_path_.c_str());
  }
}

Status ImageTempFile::Commit(Durability durability) {
  if (fd_ < 0) return created_;
  const bool synced = durability == Durability::kSynced;
  Status status;
  if (synced && fsync(fd_) != 0) status = Status::FromErrno(errno);
  if (close(fd_) != 0 && status.ok()) status = Status::FromErrno(errno);
  fd_ = -1;
  if (status.ok() && rename(temp_path_.c_str(), target_.c_str()) != 0) {
    status = Status::FromErrno(errno);
  }
  if (!status.ok()) {
    unlink(temp_path_.c_str());
    return status;
  }
  if (!synced) return status;
  // Make the rename itself durable before the script may reboot anything.
  int dir_fd = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return status;
}

Status WriteFileAtomically(const std::string& target, const std::string& text,
                           Durability durability) {
  ImageTempFile file(target, durability == Durability::kSynced ? std::string()
                                                                : target + ".XXXXXX");
  if (!file.status().ok()) return file.status();
  // Taken before the temporary file's destructor may change errno.
  const Status written = WriteAll(file.fd(), text.data(), text.size());
  if (!written.ok()) return written;
  return file.Commit(durability);
}
