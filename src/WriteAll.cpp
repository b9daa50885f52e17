#include "WriteAll.h"

#include <unistd.h>

#include <cerrno>

Status WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return Status::Ok();
}
