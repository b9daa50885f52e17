// Old daily logs go when the log moves to a new day, by the date in their
// name, and nothing that merely looks like a log is ever touched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "EventLog.h"
#include "LogRetention.h"
#include "Settings.h"
#include "temp_cwd.h"

namespace {

namespace fs = std::filesystem;

TEST(ExpiredLogNamesTest, OnlyRealDatesOlderThanTheKeptDays) {
  const std::vector<std::string> names = {
      "log_2026-03-01.txt",      // today
      "log_2026-01-30.txt",      // 30 days before: kept
      "log_2026-01-29.txt",      // 31 days before: goes
      "log_2024-02-29.txt",      // a leap day, long ago: goes
      "log_2025-02-29.txt",      // no such day
      "log_2026-13-01.txt",      // no such month
      "log_2026-1-01.txt",       // not the name's shape
      "log_2020-01-01.txt.gz",   // another name
      "xlog_2020-01-01.txt",
      "log_2020-01-01.TXT",
      "notes.txt",
      "log_2099-01-01.txt",      // from the future: kept
  };
  EXPECT_EQ(ExpiredLogNames(names, "2026-03-01", 30),
            (std::vector<std::string>{"log_2026-01-29.txt", "log_2024-02-29.txt"}));
  EXPECT_TRUE(ExpiredLogNames(names, "2026-03-01", kKeepAllLogs).empty());
  // A clock gone to 2099 finds the newest log in 2026: what lies within the
  // kept days of that log stays, whatever today is.
  EXPECT_EQ(ExpiredLogNames({"log_2026-03-01.txt", "log_2026-01-30.txt", "log_2026-01-29.txt"},
                            "2099-06-01", 30),
            (std::vector<std::string>{"log_2026-01-29.txt"}));
  // Nought days keeps today's file alone.
  EXPECT_EQ(ExpiredLogNames({"log_2026-03-01.txt", "log_2026-02-28.txt"}, "2026-03-01", 0),
            (std::vector<std::string>{"log_2026-02-28.txt"}));
}

// The log's day is the local date, so a change of time zone moves it: that
// stands in for a midnight without waiting for one.
class LogDayChange : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
  }
  void TearDown() override {
    SetLogKeepDays(kKeepAllLogs);
    unsetenv("NETWORKPROXY_LOG_KEEP_DAYS");
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

  // Days since the epoch of today's date in the current zone.
  static long Today() {
    long day = 0;
    EXPECT_TRUE(LogNameDay(CurrentDateTime("date"), &day, /*bare_date=*/true));
    return day;
  }

  static std::string LogName(long day) {
    std::time_t t = static_cast<std::time_t>(day) * 86400;
    std::tm utc{};
    gmtime_r(&t, &utc);
    char name[32];
    std::strftime(name, sizeof name, "log_%Y-%m-%d.txt", &utc);
    return name;
  }

  static void Touch(const std::string& name) { std::ofstream(name) << "old\n"; }

 private:
  std::string saved_tz_;
  bool had_tz_ = false;
};

// 26 hours apart: the second zone's date is always one or two days later.
constexpr const char* kBehind = "UTC+12";
constexpr const char* kAhead = "UTC-14";

TEST_F(LogDayChange, OldLogsGoAtTheDayChangeAndNothingElseIsTouched) {
  TempWorkingDir dir("np-retention");
  setenv("NETWORKPROXY_LOG_KEEP_DAYS", "2", 1);
  ApplyLogKeepDays(BuildDaemonSettings({}, SiteSettingsFromEnvironment()));
  UseZone(kAhead);
  const long ahead = Today();
  LogLine("settle the day");  // whatever day an earlier test left behind

  UseZone(kBehind);
  const long behind = Today();
  ASSERT_GE(ahead - behind, 1);
  // Old by the later day only: it must outlive the earlier one.
  const std::string old_tomorrow = LogName(ahead - 3);
  Touch(old_tomorrow);
  Touch(LogName(behind - 5));
  Touch("log_2000-02-30.txt");
  Touch("log_2000-01-01.txt.gz");
  Touch("notes.txt");
  fs::create_directory(LogName(behind - 9));  // a folder bearing a log's name
  fs::create_symlink("notes.txt", LogName(behind - 8));

  LogLine("first line of the earlier day");
  EXPECT_FALSE(fs::exists(LogName(behind - 5)));
  EXPECT_TRUE(fs::exists(old_tomorrow));
  // Within a day nothing more is pruned, even a file that has become old.
  Touch(LogName(behind - 6));
  LogLine("second line of the earlier day");
  EXPECT_TRUE(fs::exists(LogName(behind - 6)));

  UseZone(kAhead);
  LogLine("first line of the later day");
  EXPECT_FALSE(fs::exists(old_tomorrow));
  EXPECT_FALSE(fs::exists(LogName(behind - 6)));
  EXPECT_TRUE(fs::exists(LogName(behind)));  // the earlier day's own file
  EXPECT_TRUE(fs::exists(LogName(ahead)));
  EXPECT_TRUE(fs::exists("log_2000-02-30.txt"));
  EXPECT_TRUE(fs::exists("log_2000-01-01.txt.gz"));
  EXPECT_TRUE(fs::exists("notes.txt"));
  EXPECT_TRUE(fs::is_directory(LogName(behind - 9)));
  EXPECT_TRUE(fs::is_symlink(LogName(behind - 8)));
}

TEST_F(LogDayChange, UnsetOrBadSettingKeepsEveryLog) {
  TempWorkingDir dir("np-retention");
  UseZone(kAhead);
  const long ahead = Today();
  Touch(LogName(ahead - 400));
  setenv("NETWORKPROXY_LOG_KEEP_DAYS", "ninety", 1);
  ApplyLogKeepDays(BuildDaemonSettings({}, SiteSettingsFromEnvironment()));
  UseZone(kBehind);
  LogLine("earlier day");
  UseZone(kAhead);
  LogLine("later day");
  EXPECT_TRUE(fs::exists(LogName(ahead - 400)));
  std::ifstream log(LogName(Today()));
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("NETWORKPROXY_LOG_KEEP_DAYS is not a number of days: ninety"), std::string::npos)
      << text;
}

}  // namespace
