#include "ImageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>
#include <vector>

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

ImageTempFile::ImageTempFile(std::string target)
    : target_(std::move(target)), directory_(DirectoryOf(target_)) {
  std::string name = directory_ + "/.networkproxy-image.XXXXXX";
  std::vector<char> path(name.begin(), name.end());
  path.push_back('\0');
  fd_ = mkostemp(path.data(), O_CLOEXEC);
  if (fd_ < 0) return;
  temp_path_ = path.data();
  if (fchmod(fd_, 0640) != 0) {
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

bool ImageTempFile::Commit() {
  if (fd_ < 0) return false;
  bool ok = fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok && rename(temp_path_.c_str(), target_.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp_path_.c_str());
    return false;
  }
  // Make the rename itself durable before the script may reboot anything.
  int dir_fd = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}
