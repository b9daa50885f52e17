#include "SerialPort.h"

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
#include "Settings.h"

int USB = 0;

int OpenSerialPort(const char* port) {
  // Close-on-exec: curl and the update script must never hold the port.
  USB = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (USB < 0) {
    const int error = errno;
    // Both places: the journal keeps standard output, the site's log is
    // where an operator looks first.
    PrintAndLogLine(std::string("Error opening serial port ") + port + " - " + std::strerror(error) + ".");
    return 0;
  }
  if (ioctl(USB, TIOCEXCL) == -1) {
    std::printf("Error setting TIOCEXCL on %s\n", port);
    return 0;
  }
  if (fcntl(USB, F_SETFL, 0) == -1) {
    std::printf("Error clearing O_NONBLOCK on %s\n", port);
    return 0;
  }
  LogLine("Configuring Serial Port. Please wait...");

  termios options{};
  if (tcgetattr(USB, &options) != 0) {
    int error = errno;
    // The design logs the prefix and the system's text as two entries.
    LogLine("Error from tcgetattr: ");
    LogLine(std::strerror(error));
    return 0;
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
  if (tcsetattr(USB, TCSANOW, &options) != 0) {
    int error = errno;
    LogLine("Error from tcsetattr: ");
    LogLine(std::strerror(error));
    return 0;
  }
  std::this_thread::sleep_for(kPortSettle);
  LogLine("Completed !");
  return 1;
}

void FlushPortInput() { tcflush(USB, TCIFLUSH); }

void WritePortCommand(const char* command) {
  for (const char* p = command; *p != '\0'; ++p) {
    ssize_t n;
    do {
      n = write(USB, p, 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return;
    if (*p == '\r') return;
  }
}
