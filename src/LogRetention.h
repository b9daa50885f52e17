// LogRetention: removing old daily log files. With NETWORKPROXY_LOG_KEEP_DAYS
// set to n, each time the log moves to a new day's file, the files in the
// working directory named exactly "log_YYYY-MM-DD.txt" whose date (by the
// name, not the file's time stamp) lies more than n days before the new day,
// and more than n days before the newest such file there, are removed: a
// clock that jumps ahead does not make the site's logs old. Nothing else is
// touched. Unset, every file is kept.
//
// It logs nothing itself: the log calls it, and logs what it could not do.
// Threads: SetLogKeepDays runs on the main thread before the workers start
// (ApplyLogKeepDays in Settings.h); NoteLogFile may be called from any thread
// at any time.
#ifndef NETWORKPROXY_LOGRETENTION_H_
#define NETWORKPROXY_LOGRETENTION_H_

#include <string>
#include <vector>

// Keep every file.
constexpr int kKeepAllLogs = -1;

// Sets the number of days kept (kKeepAllLogs: all). For tests and start-up.
void SetLogKeepDays(int days);

// A log file that could not be removed, and the errno value of why.
struct LogRemovalFailure {
  std::string name;
  int error;
};

// Called by the log with each line's file name ("./log_YYYY-MM-DD.txt"). On
// the first call and whenever the date differs from the last call's, prunes
// the working directory for that day. Returns what could not be removed.
std::vector<LogRemovalFailure> NoteLogFile(const std::string& file_name);

// Days since 1970-01-01 of a "log_YYYY-MM-DD.txt" name (or a bare
// "YYYY-MM-DD" when `bare_date`); false when it is not exactly one with a
// real calendar date.
bool LogNameDay(const std::string& name, long* day, bool bare_date = false);

// Of `names`, those to remove on day `today` ("YYYY-MM-DD") keeping
// `keep_days` days before it and before the newest log among `names`.
std::vector<std::string> ExpiredLogNames(const std::vector<std::string>& names,
                                         const std::string& today, int keep_days);

// Removes the expired logs in `directory`; regular files only. Returns what
// could not be removed.
std::vector<LogRemovalFailure> PruneLogs(const std::string& directory, const std::string& today,
                                         int keep_days);

#endif  // NETWORKPROXY_LOGRETENTION_H_
