#include "SerialMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <sstream>
#include <thread>

#include <json/json.h>

#include "NetworkProxy.h"

int USB = 0;
char serial_response_buffer[kSerialResponseBufferSize];
std::mutex environment_mutex;

namespace {

constexpr unsigned kPortSettleSeconds = 5;         // s, after configuring the port
constexpr unsigned kSequencePauseSeconds = 3;      // s, between colour and sequence
constexpr const char* kCurlPath = "/usr/bin/curl";
constexpr const char* kCurlConnectTimeout = "10";  // s, curl --connect-timeout
constexpr const char* kCurlMaxTime = "30";         // s, curl --max-time
constexpr std::size_t kReplyLineSize = 1024;
constexpr std::size_t kLogLineSize = 1024;         // Logf's formatting buffer

const char* g_report_host = nullptr;

// Milliseconds left until `deadline`, for poll(); never negative.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// How one attempt to read a byte from the port ended.
enum class ByteRead { kByte, kEndOfFile, kError, kTimedOut };

ByteRead ReadByte(char* byte, bool bounded,
                  std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (bounded) {
      pollfd pfd{USB, POLLIN, 0};
      int ready = poll(&pfd, 1, MillisecondsLeft(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return ByteRead::kTimedOut;
      // POLLHUP/POLLERR fall through to read(), which reports them.
    }
    ssize_t n = read(USB, byte, 1);
    if (n == 1) return ByteRead::kByte;
    if (n == 0) return ByteRead::kEndOfFile;
    if (errno == EINTR) continue;
    return ByteRead::kError;
  }
}

// Text of `member` of `reply` as the controller should get it. Members that
// are missing, null, arrays or objects give the empty text; a reply that is
// not an object has no members.
std::string MemberText(const Json::Value& reply, const char* member) {
  if (!reply.isObject()) return std::string();
  const Json::Value& value = reply[member];
  if (value.isNull() || value.isArray() || value.isObject()) return std::string();
  try {
    return value.asString();
  } catch (const std::exception&) {
    return std::string();
  }
}

}  // namespace

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

unsigned sequence_pause_seconds = kSequencePauseSeconds;

const char* ReportHost() {
  if (g_report_host == nullptr) {
    const char* overridden = std::getenv("NETWORKPROXY_REPORT_HOST");
    g_report_host = (overridden != nullptr && *overridden != '\0')
                        ? strdup(overridden)
                        : NETWORKPROXY_REPORT_HOST_DEFAULT;
  }
  return g_report_host;
}

void AppendJsonEscaped(std::string& out, const std::string& text) {
  for (unsigned char c : text) {
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::map<std::string, std::string> mappify(const char* payload) {
  std::map<std::string, std::string> event;
  std::istringstream stream{std::string(payload)};
  std::string token;
  while (std::getline(stream, token, ',')) {
    std::string key = token;
    std::string value = token;
    std::size_t equals = token.find('=');
    if (equals != std::string::npos) {
      key = token.substr(0, equals);
      value = token.substr(equals + 1);
    }
    // "door" reports the contact (0 = open), so it maps the other way
    // round from "boot" and "auth".
    if (key == "door") {
      if (value == "0") value = "t";
      else if (value == "1") value = "f";
    } else if (key == "boot" || key == "auth") {
      if (value == "1") value = "t";
      else if (value == "0") value = "f";
    }
    // The gateway, not the controller, speaks for the site's identity.
    if (key == "mac") value = site_id;
    event[key] = value;
  }
  return event;
}

std::string SerialMonitor::getCurrentDateTime(const std::string& what) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[80] = {0};
  if (what == "now") {
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %X", &local);
  } else if (what == "date") {
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
  }
  return std::string(buffer);
}

void SerialMonitor::Logger(const std::string& message) {
  // The date first, then the time stamp: a line logged at midnight may carry
  // the new day's stamp in the old day's file, never the reverse.
  std::string file_name = "./log_" + getCurrentDateTime("date") + ".txt";
  std::string line = getCurrentDateTime("now");
  line += '\t';
  line += message;
  line += '\n';
  // One write on an O_APPEND descriptor keeps concurrent lines whole.
  int fd = open(file_name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // no log is better than no daemon
  WriteAll(fd, line.data(), line.size());
  close(fd);
}

void SerialMonitor::Logf(const char* format, ...) {
  char buffer[kLogLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Logger(buffer);
}

int SerialMonitor::OpenPort(const char* port) {
  // Close-on-exec: curl and the update script must never hold the port.
  USB = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (USB < 0) {
    std::printf("Error opening serial port %s - %s.\n", port, std::strerror(errno));
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
  Logger("Configuring Serial Port. Please wait...");

  termios options{};
  if (tcgetattr(USB, &options) != 0) {
    int error = errno;
    Logger("Error from tcgetattr: ");
    Logger(std::strerror(error));
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
  tcflush(USB, TCIFLUSH);
  if (tcsetattr(USB, TCSANOW, &options) != 0) {
    int error = errno;
    Logger("Error from tcsetattr: ");
    Logger(std::strerror(error));
    return 0;
  }
  sleep(kPortSettleSeconds);
  Logger("Completed !");
  return 1;
}

void SerialMonitor::FlushBuffer() { tcflush(USB, TCIFLUSH); }

void SerialMonitor::Write(const char* command) {
  for (const char* p = command; *p != '\0'; ++p) {
    ssize_t n;
    do {
      n = write(USB, p, 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return;
    if (*p == '\r') return;
  }
}

bool SerialMonitor::Read(char* buffer, std::size_t size, int timeout_ms) {
  const bool bounded = timeout_ms >= 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(bounded ? timeout_ms : 0);
  std::size_t position = 0;
  bool cut = false;
  ByteRead result;
  for (;;) {
    char byte = 0;
    result = ReadByte(&byte, bounded, deadline);
    if (result != ByteRead::kByte) break;
    if (byte == '\0' || byte == '\r') continue;
    if (byte == '\n') break;
    // Keep the last byte for the terminator; the rest of an overlong line is
    // read and dropped so it cannot turn into a line of its own.
    if (position + 1 < size) {
      buffer[position++] = byte;
    } else {
      cut = true;
    }
  }

  if (result != ByteRead::kByte) {
    int error = errno;
    // A partial line is not a line: terminate it so what follows in the
    // buffer from an earlier line cannot be mistaken for part of it.
    if (position > 0) buffer[position] = '\0';
    if (result == ByteRead::kError) {
      Logger(std::strerror(error));
    } else {
      Logger("Read nothing!");
    }
    return false;
  }

  buffer[position] = '\0';
  Logger("Serial Data Received: ");
  Logger(buffer);
  if (cut) {
    Logger("Error: Line too long");
    return true;  // its payload is incomplete, so it is never reported
  }
  if (std::strstr(buffer, "i:") != nullptr) {
    // The payload starts at the third character of the line, wherever the
    // "i:" was found; a line of fewer than two characters cannot hold it.
    SendMessage(buffer + 2);
  }
  return true;
}

bool SerialMonitor::SerialMonitorThread() {
  return Read(serial_response_buffer, sizeof serial_response_buffer);
}

void SerialMonitor::SetSequence(const char* sequence) {
  char command[kShortCommandSize] = {0};
  int length = std::snprintf(command, sizeof command, "f:%s\r", sequence);
  WriteIfWhole(command, length, sizeof command);
}

void SerialMonitor::SetLedColour(const char* colour) {
  char command[kShortCommandSize] = {0};
  int length = std::snprintf(command, sizeof command, "c:%s\r", colour);
  WriteIfWhole(command, length, sizeof command);
}

void SerialMonitor::SetTags(const char* tags) {
  int count = 1;
  for (const char* p = tags; *p != '\0'; ++p) {
    if (*p == ',') ++count;
  }
  char command[kTagsCommandSize] = {0};
  int length = std::snprintf(command, sizeof command, "s:%d%s\r", count, tags);
  WriteIfWhole(command, length, sizeof command);
}

void SerialMonitor::WriteIfWhole(const char* command, int length, std::size_t capacity) {
  // A cut tag list or colour would be wrong data on the controller: send
  // the whole command or nothing.
  if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
    Logger("Error: Command too long");
    return;
  }
  Write(command);
}

int SerialMonitor::SendMessage(const char* payload) {
  Logger("Sending Message: ");
  Report(payload);
  return 1;
}

int SerialMonitor::UrlEncode(const char* payload, char* output, unsigned long capacity) {
  std::map<std::string, std::string> event = mappify(payload);
  std::string text = "{";
  bool first = true;
  for (const auto& member : event) {
    if (!first) text += ',';
    first = false;
    text += '"';
    AppendJsonEscaped(text, member.first);
    text += "\": \"";
    AppendJsonEscaped(text, member.second);
    text += '"';
  }
  text += '}';
  if (capacity > 0) {
    std::size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(output, text.data(), length);
    output[length] = '\0';
    Logger(std::string(output, length));
  }
  return 0;
}

SerialMonitor::CurlResult SerialMonitor::RunCapture(const char* const argv[],
                                                    char* reply_line,
                                                    std::size_t reply_size) {
  CurlResult result;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  // posix_spawn rather than fork: the child never copies the daemon's page
  // tables, which was the better part of the daemon's cost per event.
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  int spawn_error =
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (spawn_error == 0) {
    spawn_error = posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  }
  // Nothing of ours, the serial port above all, may reach the child, even a
  // descriptor some library opened without close-on-exec. Without this step
  // curl is not started at all.
  if (spawn_error == 0) {
    spawn_error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  }
  // curl gets the default disposition of SIGXFSZ back, not the daemon's.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  pid_t child = -1;
  if (spawn_error == 0) {
    // The child gets the environment as it is now; never while it is rewritten.
    std::lock_guard<std::mutex> lock(environment_mutex);
    spawn_error = posix_spawn(&child, argv[0], &actions, &attributes,
                              const_cast<char* const*>(argv), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawn_error != 0) {
    result.error = spawn_error;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return result;
  }
  close(pipe_fds[1]);
  result.started = true;

  // Read to the end; like fgets into one buffer, the last piece read stays.
  FILE* output = fdopen(pipe_fds[0], "r");
  if (output == nullptr) {
    close(pipe_fds[0]);
  } else {
    while (std::fgets(reply_line, static_cast<int>(reply_size), output) != nullptr) {
    }
    std::fclose(output);
  }

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited == child && WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  }
  return result;
}

void SerialMonitor::ActOnReply(const char* reply_line) {
  try {
    Logger("Response from Server");
    // The line's own LF would leave an unstamped empty line in the log.
    std::string logged(reply_line);
    if (!logged.empty() && logged.back() == '\n') logged.pop_back();
    Logger(logged);
    Json::Value reply;
    Json::Reader reader;
    if (!reader.parse(std::string(reply_line), reply, true)) {
      Logger("Error parsing the string");
    }
    SetTags(MemberText(reply, "cards").c_str());
    SetLedColour(MemberText(reply, "colour").c_str());
    sleep(sequence_pause_seconds);
    SetSequence(MemberText(reply, "sequence").c_str());
  } catch (const std::exception& error) {
    Logf("Error: Unusable reply - %s", error.what());
  }
}

int SerialMonitor::Report(const char* payload) {
  char reply_line[kReplyLineSize] = {0};
  // Static: the serial worker is the only caller once start-up is over, and
  // 16 KiB is better kept off the worker's stack.
  static char event_object[kEventObjectCapacity];
  std::memset(event_object, 0, sizeof event_object);
  UrlEncode(payload, event_object, sizeof event_object);

  std::string url = std::string("http://") + ReportHost() + "/ping.json";
  // No shell: the event text travels as one argument, never as a command.
  const char* const argv[] = {kCurlPath, "--silent", "--connect-timeout", kCurlConnectTimeout,
                              "--max-time", kCurlMaxTime, "-XPOST", url.c_str(),
                              "-H", "Content-Type: application/json",
                              "-d", event_object, nullptr};
  CurlResult run = RunCapture(argv, reply_line, sizeof reply_line);
  if (!run.started) {
    Logf("Error: Report failed - curl could not be started: %s", std::strerror(run.error));
    return -1;
  }
  if (std::strstr(reply_line, "colour") != nullptr || std::strstr(reply_line, "cards") != nullptr) {
    ActOnReply(reply_line);
  }
  if (run.exit_status != 0) {
    if (run.exit_status < 0) {
      Logger("Error: Report failed - curl did not exit normally");
    } else {
      Logf("Error: Report failed - curl exit status %d", run.exit_status);
    }
    return -1;
  }
  return 0;
}
