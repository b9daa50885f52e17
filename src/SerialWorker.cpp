#include "SerialWorker.h"

#include <cstring>
#include <thread>

#include "EventLog.h"
#include "Intervals.h"
#include "ReportExchange.h"
#include "ServiceStatus.h"
#include "Watchdog.h"

SerialWorker::SerialWorker(SerialLink& link, const ReportTarget& target, EventSink sink)
    : link_(link), target_(target), sink_(std::move(sink)) {}

bool SerialWorker::Read(char* buffer, std::size_t size, int timeout_ms) {
  LineRead line = ReadLine(link_.fd(), buffer, size, timeout_ms);
  switch (line.end) {
    case LineEnd::kError:
      // The design logs the system's text alone here.
      LogLine(std::strerror(line.error));
      return false;
    case LineEnd::kEndOfFile:
    case LineEnd::kTimedOut:
      LogLine("Read nothing!");
      return false;
    case LineEnd::kCutLine:
      LogLine("Serial Data Received: ");
      LogLine(buffer);
      LogLine("Error: Line too long");
      if (IsEventLine(buffer)) service_status().NoteEvent(EventResult::kRejected);
      return true;  // its payload is incomplete, so it is never reported
    case LineEnd::kLine:
      break;
  }
  LogLine("Serial Data Received: ");
  LogLine(buffer);
  if (IsEventLine(buffer)) {
    // The payload starts at the third character of the line, wherever the
    // "i:" was found; a line of fewer than two characters cannot hold it.
    Dispatch(buffer + 2);
  }
  return true;
}

void SerialWorker::Dispatch(const char* payload) {
  if (sink_) {
    sink_(payload);
    return;
  }
  LogLine("Sending Message: ");
  serial_progress.Begin(kReportStepBound);
  ReportEvent(target_, link_, payload);  // counts the event itself
  serial_progress.End();
}

bool SerialWorker::ReadOnce() { return Read(line_, sizeof line_); }

void SerialWorker::Run(const std::vector<std::string>& startup_events) {
  // Events that came during start-up were logged then; they are reported
  // before any line read now, in the order they came.
  for (const std::string& event : startup_events) Dispatch(event.c_str() + 2);
  int failed_reads = 0;
  for (;;) {
    const bool line = ReadOnce();
    if (line) {
      failed_reads = 0;
    } else if (++failed_reads >= kMaxFailedReads) {
      LogLine("Serial device lost");
      return;
    }
    // With the spool, a burst is read at the wire's rate; the pause only
    // keeps a dead port from spinning.
    if (!sink_ || !line) std::this_thread::sleep_for(kSerialPause);
  }
}
