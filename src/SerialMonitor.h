// SerialMonitor: the gateway's event log, serial port, controller line
// protocol, event translation and report exchange.
//
// The class keeps no state of its own. Its operations share the process-wide
// port descriptor `USB` and the settings declared in NetworkProxy.h.
//
// Threads: during start-up only the main thread uses the port. Afterwards the
// serial worker is the only thread that calls OpenPort, FlushBuffer, Write,
// Read, Set* and SendMessage/Report. Logger and getCurrentDateTime may be
// called from any thread at any time.
#ifndef NETWORKPROXY_SERIALMONITOR_H_
#define NETWORKPROXY_SERIALMONITOR_H_

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

// Descriptor of the open serial port; 0 before OpenPort, -1 after a failed
// open. Written by OpenPort only.
extern int USB;

// The serial worker's line buffer.
constexpr std::size_t kSerialResponseBufferSize = 1024;
extern char serial_response_buffer[kSerialResponseBufferSize];

// Held while the process environment is changed and while a child process is
// started, so a child never sees an environment that is half rewritten.
extern std::mutex environment_mutex;

// Pause between the colour and the sequence command of one reply, in
// seconds; 3 unless a test harness that drives ActOnReply at full speed
// (fuzzing) sets it to 0 before any worker runs.
extern unsigned sequence_pause_seconds;

// Writes all of `data` to `fd`, retrying short writes and EINTR. Returns
// false when a write fails.
bool WriteAll(int fd, const char* data, std::size_t size);

// Parses an event payload ("k=v,k=v,...") into the event map, rewriting the
// door/boot/auth flags and replacing any "mac" value by site_id. `payload`
// must be non-null and NUL-terminated; it is not retained.
std::map<std::string, std::string> mappify(const char* payload);

// Writes `text` as the body of a JSON string (without the surrounding quotes)
// onto `out`: '"', '\\' and control characters are escaped, every other byte
// is copied unchanged.
void AppendJsonEscaped(std::string& out, const std::string& text);

class SerialMonitor {
 public:
  // Capacities of the command builders' buffers, terminator included.
  static constexpr std::size_t kShortCommandSize = 32;  // "c:" and "f:"
  static constexpr std::size_t kTagsCommandSize = 256;  // "s:"

  // Wait for a line during the start-up handshake (milliseconds).
  static constexpr int kNoTimeout = -1;

  // Largest event object a line that fits serial_response_buffer can give:
  // every payload byte may appear twice (key and value of a token without
  // "=") and expand six-fold when escaped, plus the members' punctuation and
  // the site identity. Report uses this so a posted object is never cut.
  static constexpr std::size_t kEventObjectCapacity = 16384;

  // Result of one curl run.
  struct CurlResult {
    bool started = false;   // false: no pipe or no process
    int exit_status = -1;   // curl's exit status; -1 when it did not exit
    int error = 0;          // errno when !started
  };

  // Returns the current local time formatted for `what`: "now" gives
  // "%Y-%m-%d %X", "date" gives "%Y-%m-%d"; anything else gives "".
  std::string getCurrentDateTime(const std::string& what);

  // Appends "<time stamp>\t<message>\n" to ./log_<date>.txt in a single
  // write on a descriptor opened for append, so lines of concurrent callers
  // never interleave. A file that cannot be opened or written loses the
  // line silently. Thread-safe.
  void Logger(const std::string& message);

  // Logs a formatted message (at most 1023 bytes; longer text is cut).
  void Logf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Opens `port` exclusively, blocking, 9600 8N1 raw, VMIN 1, VTIME 0, then
  // pauses 5 s. Returns 1 on success, 0 on failure (already reported on
  // standard output or in the log). Leaves the descriptor in USB.
  int OpenPort(const char* port);

  // Discards input received on the port but not yet read.
  void FlushBuffer();

  // Sends `command` byte by byte up to and including its first CR (or up to
  // its terminator when it has none). A failed write ends the command early.
  void Write(const char* command);

  // Reads one controller line into `buffer` (capacity `size`, at least 1),
  // dropping NUL and CR bytes, terminating it in place of the LF. A line that
  // does not fit is cut to size - 1 bytes and the rest of it, up to its LF, is
  // read and thrown away; it is logged with "Error: Line too long" and not
  // dispatched. A complete event line (one holding "i:") is handed to
  // SendMessage on the calling thread before Read returns.
  // `timeout_ms` bounds the wait for the whole line (kNoTimeout: no bound).
  // Returns true when a line ended in LF was read, false when the port gave
  // end of file, an error, or the time ran out (each logged).
  bool Read(char* buffer, std::size_t size, int timeout_ms = kNoTimeout);

  // One pass of the serial worker: Read into serial_response_buffer. Returns
  // what Read returned.
  bool SerialMonitorThread();

  // Build and send "f:<sequence>\r", "c:<colour>\r" and
  // "s:<count><tags>\r". A command that does not fit its buffer is not sent;
  // "Error: Command too long" is logged instead.
  void SetSequence(const char* sequence);
  void SetLedColour(const char* colour);
  void SetTags(const char* tags);

  // Logs "Sending Message: " and runs Report on `payload`. Always returns 1.
  int SendMessage(const char* payload);

  // Writes the event object of `payload` into `output` (capacity `capacity`,
  // at least 1), cut to capacity - 1 bytes and terminated, and logs it.
  // Always returns 0.
  int UrlEncode(const char* payload, char* output, unsigned long capacity);

  // Posts the event object of `payload` to the reporting server with curl
  // and, when the reply's last line mentions "colour" or "cards", sends its
  // members to the controller. Returns 0 when curl exited with status 0,
  // -1 otherwise (logged as "Error: Report failed ...").
  int Report(const char* payload);

  // Acts on one reply line: logs it, parses it and sends the tags, colour
  // and (3 s later) sequence commands. Never throws.
  void ActOnReply(const char* reply_line);

  // Runs `argv` (argv[0] is the program's path; no shell is involved) with
  // standard input from /dev/null, standard output on a pipe read to its end
  // into `reply_line` (capacity `reply_size`) with last-piece semantics, and
  // no other descriptor of ours inherited. Waits for the child to end.
  static CurlResult RunCapture(const char* const argv[], char* reply_line,
                               std::size_t reply_size);

 private:
  // Writes `command`, formatted with result `length` into a buffer of
  // `capacity` bytes, unless the formatting was cut.
  void WriteIfWhole(const char* command, int length, std::size_t capacity);
};

// The reporting server's host (host or host:port): the compiled-in value,
// unless NETWORKPROXY_REPORT_HOST was set in the environment at start-up.
const char* ReportHost();

#endif  // NETWORKPROXY_SERIALMONITOR_H_
