// The operator's view of a running daemon: the STATUS= line, the metrics
// text and its file, the watchdog's notion of a stuck worker, and the reasons
// that go into the log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "SafeReason.h"
#include "ImageFile.h"
#include "ServiceStatus.h"
#include "Watchdog.h"
#include "temp_cwd.h"

namespace {

using std::chrono::seconds;

// 2026-12-08 12:31:05 UTC.
constexpr std::time_t kCheckTime = 1796819465;

class UtcClock : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_tz_ = tz ? tz : "";
    had_tz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_tz_;
  bool had_tz_ = false;
};

using StatusLineTest = UtcClock;

TEST_F(StatusLineTest, ShowsGroupedCountersVersionAndLastCheck) {
  ServiceStatus status;
  status.SetControllerVersion("1.0.8");
  for (int i = 0; i < 1234; ++i) status.NoteEvent(EventResult::kDelivered);
  status.NoteEvent(EventResult::kFailed);
  status.NoteEvent(EventResult::kFailed);
  status.CheckEnded(kCheckTime);
  EXPECT_EQ(StatusLine(status.Snapshot()),
            "1,234 events delivered, 2 failed; firmware 1.0.8 checked 12:31:05, up to date");
}

// Each event is counted once, in the same words with and without the spool.
TEST_F(StatusLineTest, EventCountsReadTheSameWithAndWithoutTheSpool) {
  struct Row {
    std::uint64_t delivered, failed, rejected, dropped;
    long waiting;
    const char* line;
  } rows[] = {
      {1234567, 0, 0, 0, -1, "1,234,567 events delivered, 0 failed"},
      {1, 0, 3, 0, -1, "1 event delivered, 0 failed, 3 rejected"},
      {5, 0, 0, 0, 2, "5 events delivered, 0 rejected, 2 waiting"},
      {1, 1, 1, 4, 0, "1 event delivered, 1 failed, 1 rejected, 4 dropped, 0 waiting"},
  };
  for (const Row& row : rows) {
    StatusSnapshot f;
    f.delivered = row.delivered;
    f.failed = row.failed;
    f.rejected = row.rejected;
    f.dropped = row.dropped;
    f.spool_waiting = row.waiting;
    EXPECT_EQ(StatusLine(f), std::string(row.line) + "; firmware unknown, not checked yet");
  }
}

TEST_F(StatusLineTest, FailedCheckShowsItsFirstErrorAndNextCheckClearsIt) {
  ServiceStatus status;
  status.SetControllerVersion("1.0.8");
  status.NoteCheckFailure("Error: Reading the version file - HTTP 403 SignatureDoesNotMatch");
  status.NoteCheckFailure("Error: something later");
  status.CheckEnded(kCheckTime);
  StatusSnapshot f = status.Snapshot();
  EXPECT_EQ(f.checks_failed, 1u);
  EXPECT_EQ(f.checks_ok, 0u);
  EXPECT_EQ(StatusLine(f),
            "0 events delivered, 0 failed; firmware 1.0.8 checked 12:31:05, failed: Reading the "
            "version file - HTTP 403 SignatureDoesNotMatch");
  status.CheckEnded(kCheckTime + 60);
  f = status.Snapshot();
  EXPECT_EQ(f.checks_ok, 1u);
  EXPECT_EQ(f.last_check_outcome, "up to date");
}

TEST(MetricsTextTest, ControllerVersionIsEscapedAsALabelValue) {
  StatusSnapshot f;
  f.controller_version = "a\"b\\c\nd";
  EXPECT_NE(MetricsText(f).find("networkproxy_controller_info{version=\"a\\\"b\\\\c\\nd\"} 1\n"),
            std::string::npos);
}

TEST(MetricsTextTest, SpoolGaugesOnlyWithASpool) {
  StatusSnapshot f;
  EXPECT_EQ(MetricsText(f).find("networkproxy_spool_"), std::string::npos);
  f.spool_waiting = 7;
  f.spool_dead_letters = 2;
  f.spool_oldest_ms = 1796819465999;
  const std::string text = MetricsText(f);
  for (const char* sample : {"\nnetworkproxy_spool_events 7\n",
                             "\nnetworkproxy_spool_dead_letters 2\n",
                             "\nnetworkproxy_spool_oldest_event_timestamp_seconds 1796819465\n"}) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample;
  }
}

// Attempts and events are apart: an outage's retries must not read as lost
// events, and a delivery stamps the time a dashboard alerts on.
TEST(MetricsTextTest, AttemptsAreCountedApartFromEvents) {
  ServiceStatus status;
  status.NoteExchange(AttemptFor(AnswerClass::kFailed), std::nullopt);
  status.NoteExchange(AttemptFor(AnswerClass::kRefused), std::nullopt);
  status.NoteExchange(AttemptFor(AnswerClass::kDelivered), EventResult::kDelivered);
  status.NoteExchange(AttemptFor(AnswerClass::kRejected), EventResult::kRejected);
  const StatusSnapshot f = status.Snapshot();
  EXPECT_LT(std::abs(f.last_delivery - std::time(nullptr)), 5);
  const std::string text = MetricsText(f);
  for (const char* sample : {"networkproxy_events_total{result=\"delivered\"} 1\n",
                             "networkproxy_events_total{result=\"rejected\"} 1\n",
                             "networkproxy_events_total{result=\"failed\"} 0\n",
                             "networkproxy_report_attempts_total{result=\"ok\"} 1\n",
                             "networkproxy_report_attempts_total{result=\"failed\"} 1\n",
                             "networkproxy_report_attempts_total{result=\"refused\"} 2\n"}) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample;
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(WriteFileAtomicallyTest, ReaderNeverSeesAPartialFile) {
  TempWorkingDir dir("np-metrics");
  const std::string path = (dir.path() / "networkproxy.prom").string();
  // Sizes far apart, so a torn read could not pass for either.
  const std::string small(100, 's');
  const std::string large(256 * 1024, 'L');
  ASSERT_TRUE(WriteFileAtomically(path, small, Durability::kUnsynced).ok());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) WriteFileAtomically(path, i % 2 ? small : large, Durability::kUnsynced);
    done = true;
  });
  int reads = 0;
  while (!done || reads < 50) {
    const std::string seen = ReadFile(path);
    ASSERT_TRUE(seen == small || seen == large) << "read " << seen.size() << " bytes";
    ++reads;
  }
  writer.join();
  // Nothing but the file itself is left, readable by the service's group
  // (which the collector joins) and by no other user.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WriteFileAtomicallyTest, MissingFolderFailsWithItsError) {
  const Status written =
      WriteFileAtomically("/nonexistent-np-folder/m.prom", "x", Durability::kUnsynced);
  EXPECT_FALSE(written.ok());
  EXPECT_EQ(written.reason(), std::strerror(ENOENT));
}

TEST(WorkerProgressTest, OnlyAStepPastItsBoundIsStuck) {
  WorkerProgress worker("test worker");
  const auto t0 = WorkerProgress::Clock::now();
  // Idle for ever is not stuck: a serial worker waits for lines.
  EXPECT_FALSE(worker.Stuck(t0 + std::chrono::hours(24)));
  worker.Begin(seconds(45), t0);
  EXPECT_FALSE(worker.Stuck(t0 + seconds(45)));
  WorkerProgress::Clock::duration running{};
  EXPECT_TRUE(worker.Stuck(t0 + seconds(46), &running));
  EXPECT_EQ(std::chrono::duration_cast<seconds>(running).count(), 46);
  worker.End();
  EXPECT_FALSE(worker.Stuck(t0 + seconds(100)));
}

TEST(PingPeriodTest, HalfTheIntervalAtMostTheIdleStep) {
  WatchdogSetup setup;
  EXPECT_EQ(PingPeriod(setup), kMainIdleStep);
  setup.enabled = true;
  setup.interval = std::chrono::seconds(2);
  EXPECT_EQ(PingPeriod(setup), std::chrono::seconds(1));
  setup.interval = std::chrono::minutes(3);
  EXPECT_EQ(PingPeriod(setup), kMainIdleStep);
}

TEST(SafeReasonTest, KeysSignaturesAndQueriesAreRedacted) {
  const std::string secret = "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY";
  const std::string reason =
      "network: failed https://b.s3.example/Version_1.hex?X-Amz-Credential=AKIDEXAMPLE%2F2026"
      "&X-Amz-Signature=abc123 key " + secret +
      " Authorization: AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/x, Signature=deadbeef";
  const std::string safe = SafeReason(reason, {secret, "AKIDEXAMPLE", " "});
  for (const char* leaked : {"wJalr", "AKIDEXAMPLE", "abc123", "deadbeef", "X-Amz-Signature"}) {
    EXPECT_EQ(safe.find(leaked), std::string::npos) << leaked << " in " << safe;
  }
  // What is left still says what happened; a blank "secret" removed nothing.
  EXPECT_EQ(safe.compare(0, 16, "network: failed "), 0) << safe;
}

TEST(SafeReasonTest, StaysOneShortLine) {
  const std::string safe = SafeReason("HTTP 500\nInjected\r\x01" + std::string(500, 'x'), {});
  EXPECT_EQ(safe.find_first_of("\n\r\x01"), std::string::npos);
  EXPECT_EQ(safe.size(), kMaxReasonLength);
  EXPECT_EQ(safe.compare(0, 18, "HTTP 500 Injected "), 0);
}

}  // namespace
