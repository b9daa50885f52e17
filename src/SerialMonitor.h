// SerialMonitor: the service's one handle on the device link and the report
// path. It keeps no state of its own; each method delegates to the unit that
// does the job (EventLog, SerialPort, LineProtocol, EventTranslation,
// ReportExchange, ChildProcess), and Read is where a framed line meets the
// report path.
//
// Threads: during start-up only the main thread uses the port. Afterwards the
// serial worker is the only thread that calls OpenPort, FlushBuffer, Write,
// Read, Set* and SendMessage/Report. Logger, Logf and getCurrentDateTime may
// be called from any thread at any time.
#ifndef NETWORKPROXY_SERIALMONITOR_H_
#define NETWORKPROXY_SERIALMONITOR_H_

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "ChildProcess.h"
#include "EventLog.h"
#include "EventTranslation.h"
#include "LineProtocol.h"
#include "ReportExchange.h"
#include "SerialPort.h"

// The serial worker's line buffer.
constexpr std::size_t kSerialResponseBufferSize = 1024;
extern char serial_response_buffer[kSerialResponseBufferSize];

class SerialMonitor {
 public:
  static constexpr std::size_t kShortCommandSize = ::kShortCommandSize;
  static constexpr std::size_t kTagsCommandSize = ::kTagsCommandSize;
  static constexpr int kNoTimeout = ::kNoTimeout;
  static constexpr std::size_t kEventObjectCapacity = ::kEventObjectCapacity;

  using CurlResult = ChildResult;

  // See CurrentDateTime, LogLine and LogFormat in EventLog.h.
  std::string getCurrentDateTime(const std::string& what);
  void Logger(const std::string& message);
  void Logf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // See OpenSerialPort, FlushPortInput and WritePortCommand in SerialPort.h.
  int OpenPort(const char* port);
  void FlushBuffer();
  void Write(const char* command);

  // Reads one controller line into `buffer` as ReadLine does (LineProtocol.h)
  // and logs it: "Serial Data Received: " and the line; a cut line also
  // "Error: Line too long" and is not dispatched; a read that ends without a
  // line logs "Read nothing!" or the system's text for the error. A complete
  // event line is handed to SendMessage on the calling thread before Read
  // returns. Returns true when a line ended in LF was read.
  bool Read(char* buffer, std::size_t size, int timeout_ms = kNoTimeout);

  // When set, Read hands each complete event line's payload to it in place
  // of SendMessage (store and forward). Set before the workers start; only
  // read afterwards.
  std::function<void(const char* payload)> event_sink;

  // Hands an event payload to event_sink when set, else to SendMessage.
  void DispatchEvent(const char* payload);

  // One pass of the serial worker: Read into serial_response_buffer. Returns
  // what Read returned.
  bool SerialMonitorThread();

  // See Send*Command in LineProtocol.h.
  void SetSequence(const char* sequence);
  void SetLedColour(const char* colour);
  void SetTags(const char* tags);

  // Logs "Sending Message: " and runs Report on `payload`. Always returns 1.
  int SendMessage(const char* payload);

  // See EncodeEvent in ReportExchange.h. Always returns 0.
  int UrlEncode(const char* payload, char* output, unsigned long capacity);

  // See ReportEvent and ActOnReplyLine in ReportExchange.h.
  int Report(const char* payload);
  void ActOnReply(const char* reply_line);

  // See RunCapture in ChildProcess.h.
  static CurlResult RunCapture(const char* const argv[], char* reply_line,
                               std::size_t reply_size);
};

#endif  // NETWORKPROXY_SERIALMONITOR_H_
