// SerialWorker: the serial worker. It reads the controller's lines from the
// link, logs each, and hands each event line's payload on: to the spool's
// sender (store and forward) or, in the plain mode, to the report exchange
// on this thread, whose reply's commands go back on the link.
//
// With store and forward, lines that arrive together are handed on
// together: after a line, the worker goes on reading while each next line
// is already there or completes within kBatchGapMs, for at most
// kBatchLongestMs and kBatchMaxEvents event lines, then hands the batch
// over, which commits it in one transaction. A burst thus costs one disk
// sync per batch, not per line, and every line is still kept before the
// worker waits for the next one; a line that stops half-way when the gap
// runs out is finished by the next read.
//
// Threads: one thread reads at a time: the serial worker once it runs
// (tests call Read directly).
#ifndef NETWORKPROXY_SERIALWORKER_H_
#define NETWORKPROXY_SERIALWORKER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "EventStamp.h"
#include "LineProtocol.h"
#include "ReportAccess.h"
#include "SerialLink.h"

// The serial worker's line buffer.
constexpr std::size_t kSerialResponseBufferSize = 1024;

// The wait for the next line of a batch, the longest a batch is read for
// and the most event lines it holds. A line at 9600 baud takes tens of ms
// to arrive, so a batch is what had queued up while the last one was
// being committed.
constexpr int kBatchGapMs = 5;
constexpr int kBatchLongestMs = 50;
constexpr std::size_t kBatchMaxEvents = 256;

class SerialWorker {
 public:
  // Where event lines go instead of a plain report (the spool's sender),
  // a batch at a time, in the order read.
  using EventSink = std::function<void(const std::vector<LineEvent>& events)>;

  // Reads from `link` (which must outlive the worker); reports to `target`
  // unless `sink` is set.
  SerialWorker(SerialLink& link, const ReportTarget& target, EventSink sink = nullptr);

  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // Reads one controller line into `buffer` as ReadLine does (LineProtocol.h)
  // and logs it: "Serial Data Received: " and the line; a cut line also
  // "Error: Line too long" and is not dispatched; a read that ends without a
  // line logs "Read nothing!" or the system's text for the error. A complete
  // event line is dispatched (Dispatch) before Read returns. Returns true
  // when a line ended in LF was read.
  bool Read(char* buffer, std::size_t size, int timeout_ms = kNoTimeout);

  // Hands an event payload to the sink when set (a batch of one); else logs
  // "Sending Message: " and reports it (ReportEvent).
  void Dispatch(const char* payload);

  // One pass: Read into the worker's own buffer (line()).
  bool ReadOnce();
  const char* line() const { return line_; }

  // The worker's life: dispatches `startup_events` (whole event lines read
  // during start-up) first, in order, then reads line after line. Returns
  // when the device is gone (kMaxFailedReads reads in a row without a
  // line), after logging "Serial device lost".
  void Run(const std::vector<std::string>& startup_events);

 private:
  // Logs what `line` says about `buffer`; collects (sink) or dispatches an
  // event line. True when a line ended in LF.
  bool Handle(const LineRead& line, char* buffer);
  // Reads a batch into line_ (sink only) and hands it over; true when its
  // last read ended in a line.
  bool ReadBatch();
  void HandOver();

  SerialLink& link_;
  const ReportTarget target_;
  const EventSink sink_;
  char line_[kSerialResponseBufferSize] = {0};
  LinePartial partial_;             // of line_, across batches
  std::vector<LineEvent> pending_;  // read, not yet handed over
};

#endif  // NETWORKPROXY_SERIALWORKER_H_
