// LineProtocol: the controller's line framing and the device commands.
//
// Framing only: ReadLine returns a line and never logs or acts on it, so
// tests and fuzzers drive it without starting anything. Logging a line and
// dispatching an event line sit above it (SerialWorker::Read).
//
// Threads: see SerialLink.h; a reply's commands are sent under its lock.
#ifndef NETWORKPROXY_LINEPROTOCOL_H_
#define NETWORKPROXY_LINEPROTOCOL_H_

#include <cstddef>

class SerialLink;

// Capacities of the command builders' buffers, terminator included.
constexpr std::size_t kShortCommandSize = 32;  // "c:" and "f:"
constexpr std::size_t kTagsCommandSize = 256;  // "s:"

// Bound on ReadLine's wait: none.
constexpr int kNoTimeout = -1;

// How one ReadLine ended.
enum class LineEnd {
  kLine,       // a line ended in LF; the buffer holds it
  kCutLine,    // a line ended in LF but did not fit; the buffer holds its start
  kEndOfFile,  // the port gave end of file before an LF
  kError,      // a read failed before an LF; `error` holds errno
  kTimedOut,   // `timeout_ms` ran out before an LF
};

struct LineRead {
  LineEnd end = LineEnd::kLine;
  int error = 0;  // errno when end == kError
};

// Where a line stood when a bounded read ran out of time, so that the next
// read goes on with it instead of losing its start.
struct LinePartial {
  std::size_t position = 0;  // bytes of the line already in the buffer
  bool cut = false;          // the line is already too long for the buffer
};

// Reads one controller line from `fd` into `buffer` (capacity `size`, at
// least 1), dropping NUL and CR bytes, terminating it in place of the LF. A
// line that does not fit is cut to size - 1 bytes and the rest of it, up to
// its LF, is read and thrown away (kCutLine). A partial line before end of
// file, an error or the time-out is terminated where it stopped, so nothing
// left in the buffer from an earlier line can pass for part of it.
// `timeout_ms` bounds the wait for the whole line (kNoTimeout: no bound).
// With `partial`, a time-out keeps the line's start in the buffer and its
// place in `partial`, and the next call with the same buffer and `partial`
// goes on with it; any other end starts the next line afresh.
LineRead ReadLine(int fd, char* buffer, std::size_t size, int timeout_ms,
                  LinePartial* partial = nullptr);

// True when `line` is an event line (holds "i:").
bool IsEventLine(const char* line);

// Build and send "f:<sequence>\r", "c:<colour>\r" and "s:<count><tags>\r" on
// `link`. A command that does not fit its buffer is not sent; "Error:
// Command too long" is logged instead.
void SendSequenceCommand(SerialLink& link, const char* sequence);
void SendLedColourCommand(SerialLink& link, const char* colour);
void SendTagsCommand(SerialLink& link, const char* tags);

#endif  // NETWORKPROXY_LINEPROTOCOL_H_
