#include "SerialLink.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "EventLog.h"
#include "Intervals.h"
#include "StopSignal.h"

SerialLink::~SerialLink() {
  if (fd_ < 0) return;
  EndExclusiveUse();
  close(fd_);
}

void SerialLink::EndExclusiveUse() {
  if (fd_ >= 0) ioctl(fd_, TIOCNXCL);
}

Status SerialLink::Open(const std::string& port) {
  // Close-on-exec: curl and the update script must never hold the port.
  fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const std::string line =
        "Error opening serial port " + port + " - " + std::strerror(errno) + ".";
    // Both places: the journal keeps standard output, the site's log is
    // where an operator looks first.
    PrintAndLogLine(line);
    return Status::Error(line);
  }
  if (ioctl(fd_, TIOCEXCL) == -1) {
    std::printf("Error setting TIOCEXCL on %s\n", port.c_str());
    return Status::Error("Error setting TIOCEXCL on " + port);
  }
  // A stop during the settling pause below must not leave the flag either.
  EndExclusiveUseOnEarlyStop(fd_);
  if (fcntl(fd_, F_SETFL, 0) == -1) {
    std::printf("Error clearing O_NONBLOCK on %s\n", port.c_str());
    return Status::Error("Error clearing O_NONBLOCK on " + port);
  }
  LogLine("Configuring Serial Port. Please wait...");

  termios options{};
  if (tcgetattr(fd_, &options) != 0) {
    const Status status = Status::FromErrno(errno);
    // The design logs the prefix and the system's text as two entries.
    LogLine("Error from tcgetattr: ");
    LogLine(status.reason());
    return status;
  }
  cfsetospeed(&options, B9600);
  cfsetispeed(&options, B9600);
  options.c_cflag &= ~PARENB;
  options.c_cflag &= ~CSTOPB;
  options.c_cflag &= ~CSIZE;
  options.c_cflag |= CS8;
  options.c_cflag &= ~CRTSCTS;
  options.c_cflag |= CREAD | CLOCAL;
  cfmakeraw(&options);
  options.c_cc[VMIN] = 1;
  options.c_cc[VTIME] = 0;
  // Input already queued is not flushed: start-up reads it, so events the
  // controller sent meanwhile are kept.
  if (tcsetattr(fd_, TCSANOW, &options) != 0) {
    const Status status = Status::FromErrno(errno);
    LogLine("Error from tcsetattr: ");
    LogLine(status.reason());
    return status;
  }
  std::this_thread::sleep_for(kPortSettle);
  LogLine("Completed !");
  return Status::Ok();
}

void SerialLink::FlushInput() { tcflush(fd_, TCIFLUSH); }

void SerialLink::Write(const char* command) {
  for (const char* p = command; *p != '\0'; ++p) {
    ssize_t n;
    do {
      n = write(fd_, p, 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return;
    if (*p == '\r') return;
  }
}
