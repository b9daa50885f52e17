// curl_ref: posts an event object to the reporting server the two plain ways,
// without the daemon, so the daemon's own cost per event can be told apart
// from the cost of curl itself.
//
//   curl_ref HOST[:PORT]
//   curl_ref HOST[:PORT] --pty TERMINAL [PAUSE_MS]
//
// The first form reads requests from standard input, one per line:
//   exec BODY    fork, then exec /usr/bin/curl with the daemon's argv
//   popen BODY   popen() the same command through /bin/sh, BODY quoted
// and answers each with one line on standard output:
//   START_NS END_NS EXIT_STATUS
// START_NS is CLOCK_MONOTONIC just before the child is started, END_NS just
// after it was waited for; EXIT_STATUS is curl's (-1: did not exit normally).
// CLOCK_MONOTONIC is shared by all processes, so START_NS compares directly
// with the time the server stamps on the request it received.
//
// The second form is the smallest possible gateway: it reads lines from
// TERMINAL (set raw, read a byte at a time like the daemon does) and posts
// each line, as it is, with the exec form, then sleeps PAUSE_MS (default 0)
// as the daemon's serial worker does after every line. It prints "ready" once
// the terminal is set up and ends at end of file or an error on the terminal.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr const char* kCurlPath = "/usr/bin/curl";
constexpr std::size_t kReplyLineSize = 1024;

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Reads `stream` to its end, keeping the last piece in `reply` like the
// daemon does.
void DrainReply(FILE* stream) {
  char reply[kReplyLineSize];
  while (std::fgets(reply, sizeof reply, stream) != nullptr) {
  }
}

// fork + exec of curl with its output on a pipe, the most direct way to run
// the command.
int RunExec(const std::string& url, const std::string& body) {
  const char* const argv[] = {kCurlPath, "--silent", "--connect-timeout", "10",
                              "--max-time", "30", "-XPOST", url.c_str(),
                              "-H", "Content-Type: application/json",
                              "-d", body.c_str(), nullptr};
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return -1;
  }
  if (child == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 ||
        dup2(pipe_fds[1], STDOUT_FILENO) < 0) {
      _exit(127);
    }
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(pipe_fds[1]);
  FILE* output = fdopen(pipe_fds[0], "r");
  if (output == nullptr) {
    close(pipe_fds[0]);
  } else {
    DrainReply(output);
    std::fclose(output);
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return (waited == child && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

// The body inside single quotes for /bin/sh.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

int RunPopen(const std::string& url, const std::string& body) {
  const std::string command = std::string(kCurlPath) +
                              " --silent --connect-timeout 10 --max-time 30 -XPOST " + url +
                              " -H \"Content-Type: application/json\" -d " +
                              ShellQuoted(body);
  FILE* output = popen(command.c_str(), "r");
  if (output == nullptr) return -1;
  DrainReply(output);
  int status = pclose(output);
  return (status >= 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

// Reads lines from `terminal` and posts each one; see the top of the file.
int ServeTerminal(const std::string& url, const char* terminal, long pause_ms) {
  int fd = open(terminal, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(terminal);
    return 1;
  }
  termios options{};
  if (tcgetattr(fd, &options) != 0) {
    std::perror("tcgetattr");
    return 1;
  }
  cfmakeraw(&options);
  options.c_cc[VMIN] = 1;
  options.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &options) != 0) {
    std::perror("tcsetattr");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  for (;;) {
    char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (byte == '\r' || byte == '\0') continue;
    if (byte != '\n') {
      line += byte;
      continue;
    }
    RunExec(url, line);
    line.clear();
    if (pause_ms > 0) usleep(static_cast<useconds_t>(pause_ms) * 1000);
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool pty_form = (argc == 4 || argc == 5) && std::string(argv[2]) == "--pty";
  if (argc != 2 && !pty_form) {
    std::fprintf(stderr, "usage: curl_ref HOST[:PORT] [--pty TERMINAL [PAUSE_MS]]\n");
    return 2;
  }
  const std::string url = std::string("http://") + argv[1] + "/ping.json";
  if (pty_form) return ServeTerminal(url, argv[3], argc == 5 ? std::atol(argv[4]) : 0);
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::size_t space = line.find(' ');
    const std::string kind = line.substr(0, space);
    const std::string body = space == std::string::npos ? std::string() : line.substr(space + 1);
    int64_t start = 0;
    int status = -1;
    if (kind == "exec") {
      start = MonotonicNs();
      status = RunExec(url, body);
    } else if (kind == "popen") {
      start = MonotonicNs();
      status = RunPopen(url, body);
    } else {
      std::fprintf(stderr, "curl_ref: unknown request kind '%s'\n", kind.c_str());
      return 2;
    }
    const int64_t end = MonotonicNs();
    std::printf("%lld %lld %d\n", static_cast<long long>(start), static_cast<long long>(end),
                status);
    std::fflush(stdout);
  }
  return 0;
}
