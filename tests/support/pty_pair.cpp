#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

PtyPair::PtyPair() {
  char name[256] = {0};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    std::abort();
  }
  slave_path_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  termios tio{};
  tcgetattr(slave_, &tio);
  cfsetospeed(&tio, B9600);
  cfsetispeed(&tio, B9600);
  cfmakeraw(&tio);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  tcsetattr(slave_, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (slave_ >= 0) close(slave_);
}

void PtyPair::Send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::perror("write to pty master");
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

std::string PtyPair::Receive(std::size_t count, int timeout_ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(timeout_ms);
  while (out.size() < count && master_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string PtyPair::ReceiveFor(int timeout_ms) {
  return Receive(static_cast<std::size_t>(-1), timeout_ms);
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}
