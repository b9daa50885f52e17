#include "LineProtocol.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "EventLog.h"
#include "SerialLink.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll(); never negative.
int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// How one attempt to read a byte ended.
enum class ByteRead { kByte, kEndOfFile, kError, kTimedOut };

ByteRead ReadByte(int fd, char* byte, bool bounded, Clock::time_point deadline) {
  for (;;) {
    if (bounded) {
      pollfd pfd{fd, POLLIN, 0};
      int ready = poll(&pfd, 1, MillisecondsLeft(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return ByteRead::kTimedOut;
      // POLLHUP/POLLERR fall through to read(), which reports them.
    }
    ssize_t n = read(fd, byte, 1);
    if (n == 1) return ByteRead::kByte;
    if (n == 0) return ByteRead::kEndOfFile;
    if (errno == EINTR) continue;
    return ByteRead::kError;
  }
}

// Sends `command`, formatted with result `length` into a buffer of
// `capacity` bytes, unless the formatting was cut: a cut tag list or colour
// would be wrong data on the controller.
void SendIfWhole(SerialLink& link, const char* command, int length, std::size_t capacity) {
  if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
    LogLine("Error: Command too long");
    return;
  }
  link.Write(command);
}

}  // namespace

LineRead ReadLine(int fd, char* buffer, std::size_t size, int timeout_ms,
                  LinePartial* partial) {
  const bool bounded = timeout_ms >= 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeout_ms : 0);
  LinePartial unused;
  if (partial == nullptr) partial = &unused;
  std::size_t position = partial->position < size ? partial->position : 0;
  bool cut = partial->cut;
  *partial = LinePartial();
  ByteRead result;
  for (;;) {
    char byte = 0;
    result = ReadByte(fd, &byte, bounded, deadline);
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

  LineRead line;
  if (result == ByteRead::kTimedOut) {
    partial->position = position;
    partial->cut = cut;
  }
  if (result != ByteRead::kByte) {
    line.error = errno;
    if (position > 0) buffer[position] = '\0';
    line.end = result == ByteRead::kError       ? LineEnd::kError
               : result == ByteRead::kEndOfFile ? LineEnd::kEndOfFile
                                                : LineEnd::kTimedOut;
    return line;
  }
  buffer[position] = '\0';
  line.end = cut ? LineEnd::kCutLine : LineEnd::kLine;
  return line;
}

bool IsEventLine(const char* line) { return std::strstr(line, "i:") != nullptr; }

void SendSequenceCommand(SerialLink& link, const char* sequence) {
  char command[kShortCommandSize] = {0};
  int length = std::snprintf(command, sizeof command, "f:%s\r", sequence);
  SendIfWhole(link, command, length, sizeof command);
}

void SendLedColourCommand(SerialLink& link, const char* colour) {
  char command[kShortCommandSize] = {0};
  int length = std::snprintf(command, sizeof command, "c:%s\r", colour);
  SendIfWhole(link, command, length, sizeof command);
}

void SendTagsCommand(SerialLink& link, const char* tags) {
  int count = 1;
  for (const char* p = tags; *p != '\0'; ++p) {
    if (*p == ',') ++count;
  }
  char command[kTagsCommandSize] = {0};
  int length = std::snprintf(command, sizeof command, "s:%d%s\r", count, tags);
  SendIfWhole(link, command, length, sizeof command);
}
