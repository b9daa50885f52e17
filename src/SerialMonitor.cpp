#include "SerialMonitor.h"

#include <cstdarg>
#include <cstring>

#include "ServiceStatus.h"
#include "Watchdog.h"

char serial_response_buffer[kSerialResponseBufferSize];

std::string SerialMonitor::getCurrentDateTime(const std::string& what) {
  return CurrentDateTime(what);
}

void SerialMonitor::Logger(const std::string& message) { LogLine(message); }

void SerialMonitor::Logf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogFormatV(format, args);
  va_end(args);
}

int SerialMonitor::OpenPort(const char* port) { return OpenSerialPort(port); }

void SerialMonitor::FlushBuffer() { FlushPortInput(); }

void SerialMonitor::Write(const char* command) { WritePortCommand(command); }

bool SerialMonitor::Read(char* buffer, std::size_t size, int timeout_ms) {
  LineRead line = ReadLine(USB, buffer, size, timeout_ms);
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
    DispatchEvent(buffer + 2);
  }
  return true;
}

void SerialMonitor::DispatchEvent(const char* payload) {
  if (event_sink) {
    event_sink(payload);
  } else {
    SendMessage(payload);
  }
}

bool SerialMonitor::SerialMonitorThread() {
  return Read(serial_response_buffer, sizeof serial_response_buffer);
}

void SerialMonitor::SetSequence(const char* sequence) { SendSequenceCommand(sequence); }

void SerialMonitor::SetLedColour(const char* colour) { SendLedColourCommand(colour); }

void SerialMonitor::SetTags(const char* tags) { SendTagsCommand(tags); }

int SerialMonitor::SendMessage(const char* payload) {
  Logger("Sending Message: ");
  serial_progress.Begin(kReportStepBound);
  Report(payload);  // counts the event itself
  serial_progress.End();
  return 1;
}

int SerialMonitor::UrlEncode(const char* payload, char* output, unsigned long capacity) {
  EncodeEvent(payload, output, capacity);
  return 0;
}

int SerialMonitor::Report(const char* payload) { return ReportEvent(payload); }

void SerialMonitor::ActOnReply(const char* reply_line) { ActOnReplyLine(reply_line); }

SerialMonitor::CurlResult SerialMonitor::RunCapture(const char* const argv[],
                                                    char* reply_line,
                                                    std::size_t reply_size) {
  return ::RunCapture(argv, reply_line, reply_size);
}
