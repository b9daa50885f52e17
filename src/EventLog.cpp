#include "EventLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "LogRetention.h"
#include "PrintableText.h"
#include "WriteAll.h"

namespace {

// Serialises appends within the process, so a line that did not fit can be
// cut off again without taking another writer's line with it.
std::mutex log_mutex;

// Formats into a kLogLineSize buffer, cut to fit.
std::string FormatMessage(const char* format, va_list args) {
  char buffer[kLogLineSize];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  return std::string(buffer);
}

}  // namespace

std::string CurrentDateTime(const std::string& what) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[80] = {0};
  if (what == "now") {
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %X", &local);
  } else if (what == "date") {
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
  }
  return std::string(buffer);
}

void LogLine(const std::string& message) {
  // The date first, then the time stamp: a line logged at midnight may carry
  // the new day's stamp in the old day's file, never the reverse.
  std::string file_name = "./log_" + CurrentDateTime("date") + ".txt";
  // A new day may retire old files. Logging a failure comes back here, on
  // the same day, so it cannot recurse further.
  for (const LogRemovalFailure& failure : NoteLogFile(file_name)) {
    LogSystemError(failure.error, "Error: Removing old log file %s", failure.name.c_str());
  }
  std::string line = CurrentDateTime("now");
  line += '\t';
  // Messages carry outside text (controller lines, server replies): a
  // terminal escape or a line break must not act on whoever reads the log,
  // nor make one entry look like two.
  line += PrintableText(message);
  line += '\n';
  int fd = open(file_name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(log_mutex);
    const off_t line_start = lseek(fd, 0, SEEK_END);
    // A full disk or the file-size limit may take part of a line: cut it
    // off again, or the next line would be glued to the fragment.
    if (!WriteAll(fd, line.data(), line.size()).ok() && line_start >= 0) {
      int ignored = ftruncate(fd, line_start);
      (void)ignored;
    }
  }
  close(fd);
}

void PrintAndLogLine(const std::string& message) {
  std::printf("%s\n", PrintableText(message).c_str());
  std::fflush(stdout);
  LogLine(message);
}

void LogFormatV(const char* format, va_list args) { LogLine(FormatMessage(format, args)); }

void LogFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogFormatV(format, args);
  va_end(args);
}

void LogSystemError(int error, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatMessage(format, args);
  va_end(args);
  message += ": ";
  message += std::strerror(error);
  LogLine(message);
}
