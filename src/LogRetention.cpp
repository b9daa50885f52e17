#include "LogRetention.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>


namespace {

std::atomic<int> g_keep_days{kKeepAllLogs};
std::mutex g_day_mutex;
std::string g_last_date;  // guarded by g_day_mutex

constexpr std::size_t kDateLength = 10;  // "YYYY-MM-DD"
constexpr const char* kPrefix = "log_";
constexpr const char* kSuffix = ".txt";

bool Digits(const std::string& s, std::size_t at, std::size_t count, int* value) {
  int v = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *value = v;
  return true;
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

void SetLogKeepDays(int days) { g_keep_days.store(days < 0 ? kKeepAllLogs : days); }

bool LogNameDay(const std::string& name, long* day, bool bare_date) {
  const std::string prefix = bare_date ? "" : kPrefix;
  const std::string suffix = bare_date ? "" : kSuffix;
  if (name.size() != prefix.size() + kDateLength + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  const std::size_t at = prefix.size();
  int y = 0, m = 0, d = 0;
  if (!Digits(name, at, 4, &y) || name[at + 4] != '-' || !Digits(name, at + 5, 2, &m) ||
      name[at + 7] != '-' || !Digits(name, at + 8, 2, &d)) {
    return false;
  }
  static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  const int month_days = kMonthDays[m - 1] + (m == 2 && LeapYear(y) ? 1 : 0);
  if (d > month_days) return false;
  *day = DaysFromCivil(y, m, d);
  return true;
}

std::vector<std::string> ExpiredLogNames(const std::vector<std::string>& names,
                                         const std::string& today, int keep_days) {
  std::vector<std::string> expired;
  long today_day = 0;
  if (keep_days < 0 || !LogNameDay(today, &today_day, /*bare_date=*/true)) return expired;
  // The clock alone is not trusted: one that jumps years ahead would make
  // every log look old. A log also has to be older than the kept days
  // before the newest log there is, which only days of logging can make.
  long newest_day = std::numeric_limits<long>::min();
  for (const std::string& name : names) {
    long day = 0;
    if (LogNameDay(name, &day)) newest_day = std::max(newest_day, day);
  }
  for (const std::string& name : names) {
    long day = 0;
    if (LogNameDay(name, &day) && today_day - day > keep_days && newest_day - day > keep_days) {
      expired.push_back(name);
    }
  }
  return expired;
}

std::vector<LogRemovalFailure> PruneLogs(const std::string& directory, const std::string& today,
                                         int keep_days) {
  std::vector<LogRemovalFailure> failures;
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return failures;
  while (dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  for (const std::string& name : ExpiredLogNames(names, today, keep_days)) {
    const std::string path = directory + "/" + name;
    struct stat st;
    // A link or a folder that happens to bear a log's name is not ours.
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) failures.push_back({name, errno});
  }
  return failures;
}

std::vector<LogRemovalFailure> NoteLogFile(const std::string& file_name) {
  const int keep_days = g_keep_days.load();
  if (keep_days < 0) return {};
  // "./log_YYYY-MM-DD.txt"
  const std::size_t date_at = file_name.rfind(kPrefix);
  if (date_at == std::string::npos) return {};
  const std::string date = file_name.substr(date_at + 4, kDateLength);
  {
    std::lock_guard<std::mutex> lock(g_day_mutex);
    if (date == g_last_date) return {};
    g_last_date = date;
  }
  return PruneLogs(".", date, keep_days);
}
