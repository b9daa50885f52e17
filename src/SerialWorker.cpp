#include "SerialWorker.h"

#include <algorithm>
#include <chrono>
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
  const bool ended = Handle(ReadLine(link_.fd(), buffer, size, timeout_ms), buffer);
  HandOver();
  return ended;
}

bool SerialWorker::Handle(const LineRead& line, char* buffer) {
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
    if (sink_) {
      pending_.push_back(LineEvent{buffer + 2, NowMs()});
    } else {
      Dispatch(buffer + 2);
    }
  }
  return true;
}

void SerialWorker::HandOver() {
  if (pending_.empty()) return;
  sink_(pending_);
  pending_.clear();
}

bool SerialWorker::ReadBatch() {
  bool ended = Handle(ReadLine(link_.fd(), line_, sizeof line_, kNoTimeout, &partial_), line_);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBatchLongestMs);
  while (ended && pending_.size() < kBatchMaxEvents) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const int wait = static_cast<int>(std::min<long long>(left.count(), kBatchGapMs));
    const LineRead line = ReadLine(link_.fd(), line_, sizeof line_, wait, &partial_);
    // Nothing more came in time: what was read is kept before waiting on.
    if (line.end == LineEnd::kTimedOut) break;
    ended = Handle(line, line_);
  }
  HandOver();
  return ended;
}

void SerialWorker::Dispatch(const char* payload) {
  if (sink_) {
    sink_({LineEvent{payload, NowMs()}});
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
  for (const std::string& event : startup_events) {
    if (sink_) {
      pending_.push_back(LineEvent{event.c_str() + 2, NowMs()});
    } else {
      Dispatch(event.c_str() + 2);
    }
  }
  if (sink_) HandOver();
  int failed_reads = 0;
  for (;;) {
    const bool line = sink_ ? ReadBatch() : ReadOnce();
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
