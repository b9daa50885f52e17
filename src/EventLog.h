// EventLog: the daemon's daily log file, "./log_<local date>.txt" in the
// working directory, one "<YYYY-mm-dd HH:MM:SS>\t<message>\n" line per entry.
// Control bytes in a message (all but TAB) are written as "\xNN"
// (PrintableText), here and on standard output, so that a message is always
// one line and never drives the terminal of whoever reads it.
//
// Every function here may be called from any thread at any time. A line is
// formatted whole and appended under a process-wide lock, so lines of
// concurrent callers never interleave. A file that cannot be opened or
// written loses the line silently: no log is better than no daemon. A line
// written only in part (full disk, file-size limit) is cut off again, so the
// file only ever holds whole lines.
#ifndef NETWORKPROXY_EVENTLOG_H_
#define NETWORKPROXY_EVENTLOG_H_

#include <cstdarg>
#include <cstddef>
#include <string>

// Size of the formatting buffer of LogFormat and LogSystemError, terminator
// included: longer messages are cut to 1023 bytes.
constexpr std::size_t kLogLineSize = 1024;

// The current local time formatted for `what`: "now" gives "%Y-%m-%d %X",
// "date" gives "%Y-%m-%d"; anything else gives "".
std::string CurrentDateTime(const std::string& what);

// Appends one line holding `message` to the day's log file.
void LogLine(const std::string& message);

// Writes `message` as a line on standard output (the journal, under a
// service manager) and appends it to the log: for configuration errors, which
// an operator looks for in either place.
void PrintAndLogLine(const std::string& message);

// Logs a printf-formatted message, cut to fit kLogLineSize.
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// LogFormat with the arguments already collected.
void LogFormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Logs a printf-formatted message followed by ": " and the system's text for
// `error` (an errno value taken by the caller right after the failed call),
// on one line.
void LogSystemError(int error, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // NETWORKPROXY_EVENTLOG_H_
