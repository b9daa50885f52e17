#include "StartupInput.h"

#include <cstring>
#include <thread>

#include "EventLog.h"
#include "LineProtocol.h"

namespace {

using Clock = std::chrono::steady_clock;

// The serial worker's line size: a startup line is no shorter than any other.
constexpr std::size_t kLineSize = 1024;

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void LogReceived(const char* line) {
  LogLine("Serial Data Received: ");
  LogLine(line);
}

}  // namespace

VersionParse ParseVersionAnswer(const VersionAnswer& answer, char (&out)[32]) {
  if (answer.line.find("version") == std::string::npos) return VersionParse::kNone;
  if (answer.cut) return VersionParse::kTooLong;
  std::size_t first = answer.line.find_first_not_of('=');
  if (first == std::string::npos) return VersionParse::kNone;
  std::size_t second = answer.line.find_first_not_of('=', answer.line.find('=', first));
  if (second == std::string::npos) return VersionParse::kNone;
  std::size_t end = answer.line.find('=', second);
  std::string version = answer.line.substr(second, end == std::string::npos ? end : end - second);
  if (version.size() >= sizeof out) return VersionParse::kTooLong;
  std::memset(out, 0, sizeof out);
  std::memcpy(out, version.data(), version.size());
  return VersionParse::kVersion;
}

StartupInput::StartupInput(int fd) : fd_(fd) {}

void StartupInput::Collect(std::chrono::milliseconds window) {
  const Clock::time_point deadline = Clock::now() + window;
  char line[kLineSize];
  for (;;) {
    line[0] = '\0';
    LineRead read = ReadLine(fd_, line, sizeof line, MillisecondsUntil(deadline));
    if (read.end == LineEnd::kTimedOut && line[0] != '\0') {
      // The window closed inside a line: take the rest of it too, or it
      // would reach the handshake as a line of its own.
      std::size_t begun = std::strlen(line);
      read = ReadLine(fd_, line + begun, sizeof line - begun,
                      static_cast<int>(kStartupLineFinish.count()));
    }
    if (read.end == LineEnd::kLine && IsEventLine(line)) {
      LogReceived(line);
      events_.emplace_back(line);
    }
    if (read.end == LineEnd::kEndOfFile || read.end == LineEnd::kError) {
      // A port that gives nothing: wait out the window as a sleep would.
      std::this_thread::sleep_until(deadline);
      return;
    }
    if (Clock::now() >= deadline) return;
  }
}

VersionAnswer StartupInput::AwaitVersion(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  VersionAnswer answer;
  char line[kLineSize];
  for (;;) {
    LineRead read = ReadLine(fd_, line, sizeof line, MillisecondsUntil(deadline));
    if (read.end == LineEnd::kError) {
      LogLine(std::strerror(read.error));
      return answer;
    }
    if (read.end == LineEnd::kEndOfFile || read.end == LineEnd::kTimedOut) {
      LogLine("Read nothing!");
      return answer;
    }
    LogReceived(line);
    answer.any_line = true;
    answer.line = line;
    answer.cut = read.end == LineEnd::kCutLine;
    if (answer.cut) LogLine("Error: Line too long");
    if (!answer.cut && IsEventLine(line)) events_.emplace_back(line);
    if (answer.line.find("version") != std::string::npos) return answer;
  }
}

std::vector<std::string> StartupInput::TakeEvents() {
  std::vector<std::string> events;
  events.swap(events_);
  return events;
}
