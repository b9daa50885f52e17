#include "StopSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {

int stop_pipe[2] = {-1, -1};
volatile std::sig_atomic_t startup_over = 0;
volatile std::sig_atomic_t early_stop_port = -1;

extern "C" void OnStopSignal(int signal) {
  if (!startup_over) {
    // Only plain system calls, safe in a handler: ioctl, write and _exit.
    if (early_stop_port >= 0) ioctl(early_stop_port, TIOCNXCL);
    static const char kTerm[] = "Stopping (SIGTERM)\n";
    static const char kInt[] = "Stopping (SIGINT)\n";
    const bool term = signal == SIGTERM;
    ssize_t ignored = write(STDOUT_FILENO, term ? kTerm : kInt, term ? sizeof kTerm - 1 : sizeof kInt - 1);
    (void)ignored;
    _exit(0);
  }
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  // A full pipe already holds a request; losing this one changes nothing.
  ssize_t ignored = write(stop_pipe[1], &number, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

void InstallStopHandlers() {
  if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;  // then signals end it as before
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void EndExclusiveUseOnEarlyStop(int fd) { early_stop_port = fd; }

void StartupOver() { startup_over = 1; }

int AwaitStopSignal(std::chrono::microseconds longest) {
  if (stop_pipe[0] < 0) {
    std::this_thread::sleep_for(longest);
    return 0;
  }
  const auto deadline = std::chrono::steady_clock::now() + longest;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{stop_pipe[0], POLLIN, 0};
    const int n = poll(&ready, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    unsigned char number = 0;
    if (read(stop_pipe[0], &number, 1) == 1) return number;
  }
}

namespace {

// Signal numbers stay below it; an exit request is this plus its status.
constexpr int kExitRequest = 128;

}  // namespace

void RequestExit(int status) {
  if (stop_pipe[1] < 0) {
    // Start-up could not make the pipe (signals then end the daemon as
    // their default does): nobody waits for the request, so end here.
    std::fflush(stdout);
    _exit(status);
  }
  const unsigned char request = static_cast<unsigned char>(kExitRequest + status);
  // The pipe holds 64 KiB: it is never too full for one byte in practice.
  ssize_t ignored = write(stop_pipe[1], &request, 1);
  (void)ignored;
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool IsExitRequest(int request) { return request >= kExitRequest; }

int ExitRequestStatus(int request) { return request - kExitRequest; }

const char* StopSignalName(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "signal";
  }
}
