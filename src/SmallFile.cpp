#include "SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

int ReadBounded(const char* path, int extra_flags, std::size_t max_size, std::string& content,
                bool* readable_by_others) {
  content.clear();
  // O_NONBLOCK: opening a FIFO for reading would wait for a writer. A
  // regular file reads the same either way.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | extra_flags);
  if (fd < 0) return errno;
  struct stat info {};
  const int refused = fstat(fd, &info) != 0    ? errno
                      : S_ISDIR(info.st_mode)  ? EISDIR
                      : !S_ISREG(info.st_mode) ? kNotRegularFile
                                               : 0;
  if (refused != 0) {
    close(fd);
    return refused;
  }
  if (readable_by_others != nullptr) *readable_by_others = (info.st_mode & S_IROTH) != 0;
  // One byte more than allowed tells a file that is too large.
  content.reserve(max_size + 1);
  content.resize(max_size + 1);
  std::size_t used = 0;
  int error = 0;
  while (used < content.size()) {
    ssize_t n = read(fd, &content[used], content.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  close(fd);
  if (error == 0 && used > max_size) error = EFBIG;
  // Shrinking keeps the buffer; the bytes past `used` were never written.
  content.resize(error == 0 ? used : 0);
  return error;
}

}  // namespace

int ReadSmallFile(const char* path, std::size_t max_size, std::string& content,
                  bool* readable_by_others) {
  return ReadBounded(path, 0, max_size, content, readable_by_others);
}

int ReadSmallFileNoFollow(const char* path, std::size_t max_size, std::string& content) {
  return ReadBounded(path, O_NOFOLLOW, max_size, content, nullptr);
}
