// StartupInput: the controller's lines read on the main thread before the
// workers run: what arrives while the port settles and the version
// handshake's answers.
//
// Nothing the controller sends then is thrown away unread: event lines are
// logged as they arrive and kept, in order, for the serial worker to report
// first (a report sends commands back on the port and takes seconds, which
// the handshake cannot wait for). Link layer: no service state is touched.
//
// Threads: the main thread, before the workers exist.
#ifndef NETWORKPROXY_STARTUPINPUT_H_
#define NETWORKPROXY_STARTUPINPUT_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// Longest a line already begun is waited for once a collection window has
// ended: a full 1024-byte line at 9600 baud, with room to spare.
constexpr std::chrono::milliseconds kStartupLineFinish{1500};

// What one version query brought.
struct VersionAnswer {
  bool any_line = false;  // at least one line ended in LF was read
  std::string line;       // the last such line (the one holding "version", if any)
  bool cut = false;       // that line did not fit the line buffer
};

// How the text of a version answer reads.
enum class VersionParse {
  kNone,     // no "version" in it, or no version after it
  kVersion,  // the version was stored
  kTooLong,  // the version does not fit; nothing was stored
};

// Takes the version out of `answer` as the handshake does: when it holds
// "version", the second of its pieces separated by runs of "=". A version
// that does not fit `out` (or an answer cut short) is kTooLong and leaves
// `out` as it was.
VersionParse ParseVersionAnswer(const VersionAnswer& answer, char (&out)[32]);

class StartupInput {
 public:
  // Reads from `fd`, the configured serial port, which it does not own.
  explicit StartupInput(int fd);

  // Reads lines for `window`, then finishes a line already begun (at most
  // kStartupLineFinish). Event lines (holding "i:") are logged as
  // "Serial Data Received: " and the line, and kept; other lines are dropped.
  void Collect(std::chrono::milliseconds window);

  // Reads lines until one holds "version" or `timeout` has passed. Every
  // line is logged as the serial worker logs it; event lines are kept. A
  // query that ends without a version line logs "Read nothing!" (or the
  // system's text for a read error).
  VersionAnswer AwaitVersion(std::chrono::milliseconds timeout);

  // The event lines kept so far, in arrival order; none remain.
  std::vector<std::string> TakeEvents();

 private:
  int fd_;
  std::vector<std::string> events_;
};

#endif  // NETWORKPROXY_STARTUPINPUT_H_
