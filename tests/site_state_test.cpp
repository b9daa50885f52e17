// networkproxyctl status reads back what the daemon wrote: a figure or a
// reason lost between MetricsText and ReadMetricsText shows an operator a
// wrong state.
#include <gtest/gtest.h>
#include <json/json.h>

#include <ctime>
#include <memory>
#include <sstream>

#include "ServiceStatus.h"
#include "SiteState.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(builder, in, &root, &errors)) << errors;
  return root;
}

TEST(SiteState, FiguresTheDaemonWritesComeBackAsTheStatusJson) {
  StatusSnapshot figures;
  figures.delivered = 12;
  figures.failed = 2;
  figures.rejected = 1;
  figures.spool_waiting = 3;
  figures.controller_version = "1.0.8 \"beta\"";
  figures.last_check = 1796819465;  // 2026-12-09 12:31:05 UTC
  figures.last_check_outcome = "failed: Reading the version file - HTTP 403 \"Denied\"\\x";
  SiteState state;
  ASSERT_TRUE(ReadMetricsText(MetricsText(figures), &state).ok());
  const Json::Value json = Parse(SiteStateJson(state, 1796819500));
  EXPECT_EQ(json["firmware_version"], "1.0.8 \"beta\"");
  EXPECT_EQ(json["last_firmware_check"]["time"], "2026-12-09T12:31:05Z");
  EXPECT_EQ(json["last_firmware_check"]["result"], "failed");
  EXPECT_EQ(json["last_firmware_check"]["reason"], "Reading the version file - HTTP 403 \"Denied\"\\x");
  EXPECT_EQ(json["events"]["delivered"], 12);
  EXPECT_EQ(json["events"]["rejected"], 1);
  EXPECT_EQ(json["events"]["waiting"], 3);
  EXPECT_EQ(json["events"]["dropped"], 0);
  EXPECT_TRUE(json["last_delivery"].isNull());
  EXPECT_TRUE(json["oldest_waiting_seconds"].isNull());
  EXPECT_TRUE(json["last_failure"].isNull());

  figures.last_check_outcome = "up to date";
  ASSERT_TRUE(ReadMetricsText(MetricsText(figures), &state).ok());
  EXPECT_EQ(state.check_result, "ok");
  EXPECT_EQ(state.check_reason, "up to date");
}

TEST(SiteState, DeliveryFiguresAndUnknownsReadAsTheyAre) {
  SiteState state;
  ASSERT_TRUE(ReadMetricsText("# HELP x y\n"
                              "networkproxy_events_total{result=\"delivered\"} 7\n"
                              "networkproxy_events_total{result=\"reported\"} 99\n"
                              "networkproxy_events_total{result=\"dropped\"} 4\n"
                              "networkproxy_spool_dead_letters 2\n"
                              "networkproxy_spool_oldest_event_timestamp_seconds 1796819400\n"
                              "networkproxy_last_delivery_timestamp_seconds 1796819460\n"
                              "networkproxy_something_new{a=\"b\"} 1.5e3\n",
                              &state)
                  .ok());
  const Json::Value json = Parse(SiteStateJson(state, 1796819500));
  EXPECT_EQ(json["events"]["delivered"], 7);
  EXPECT_EQ(json["events"]["dropped"], 4);
  EXPECT_EQ(json["dead_letters"], 2);
  EXPECT_EQ(json["oldest_waiting_seconds"], 100);
  EXPECT_EQ(json["last_delivery"], "2026-12-09T12:31:00Z");
  EXPECT_TRUE(json["firmware_version"].isNull());
  EXPECT_TRUE(json["last_firmware_check"]["time"].isNull());
  EXPECT_EQ(ReadMetricsText("networkproxy_events_total{result=\"x} 1\n", &state).reason(),
            "line 1: not a sample");
}

// A dead letter resent and then delivered ends delivered: shown once, not
// also as rejected, while the rejected counter Prometheus reads never goes
// down (a decrease would read as a reset).
TEST(SiteState, ResentDeadLetterDeliveredCountsOnceAsDelivered) {
  ServiceStatus status;
  status.SetSpoolFigures(SpoolFigures{});
  status.NoteExchange(AttemptResult::kRefused, EventResult::kRejected);
  status.NoteDeadLetterDelivered();
  status.NoteExchange(AttemptResult::kOk, EventResult::kDelivered);
  const StatusSnapshot figures = status.Snapshot();
  EXPECT_EQ(StatusLine(figures).rfind("1 event delivered, 0 rejected, 0 waiting;", 0), 0u)
      << StatusLine(figures);
  EXPECT_NE(MetricsText(figures).find("networkproxy_events_total{result=\"rejected\"} 1\n"),
            std::string::npos);
  SiteState state;
  ASSERT_TRUE(ReadMetricsText(MetricsText(figures), &state).ok());
  const Json::Value json = Parse(SiteStateJson(state, 0));
  EXPECT_EQ(json["events"]["delivered"], 1);
  EXPECT_EQ(json["events"]["rejected"], 0);
  // Rejected before a restart, delivered after it: never below 0.
  StatusSnapshot restarted;
  restarted.dead_letters_delivered = 1;
  EXPECT_EQ(RejectedNow(restarted), 0u);
}

// Why events wait: the failed post's line travels through the metrics file
// whole, quotes and control bytes shown as the log shows them, and no URL
// query (a signed URL's signature) reaches the file.
TEST(SiteState, LastFailedTryShowsBesideTheBacklogWithItsReason) {
  ServiceStatus status;
  status.NoteReportFailure(1796789232,  // 2026-12-09 04:07:12 UTC
                           "Report refused - HTTP 401 \"x\"\x1b[31m https://h/p?sig=abc");
  StatusSnapshot figures = status.Snapshot();
  figures.spool_waiting = 3;
  figures.spool_oldest_ms = 1796789232000LL - 62000;
  const std::string metrics = MetricsText(figures);
  EXPECT_EQ(metrics.find("sig=abc"), std::string::npos) << metrics;
  SiteState state;
  ASSERT_TRUE(ReadMetricsText(metrics, &state).ok());
  const std::string reason = "Report refused - HTTP 401 \"x\"\\x1B[31m https://h/p?[redacted]";
  const Json::Value json = Parse(SiteStateJson(state, 1796789232));
  EXPECT_EQ(json["last_failure"]["time"], "2026-12-09T04:07:12Z");
  EXPECT_EQ(json["last_failure"]["reason"], reason);
  // The status tool shows the try in local time.
  const std::time_t tried = 1796789232;
  std::tm local{};
  localtime_r(&tried, &local);
  char when[16] = {0};
  std::strftime(when, sizeof when, "%H:%M:%S", &local);
  EXPECT_NE(SiteStateText(state, 1796789232).find(
                "backlog: 3 waiting, oldest 62 s - last try " + std::string(when) + ": " + reason + "\n"),
            std::string::npos)
      << SiteStateText(state, 1796789232);
  // Nothing waits: the failure is history, in JSON only.
  state.waiting = 0;
  state.oldest_waiting = 0;
  EXPECT_NE(SiteStateText(state, 1796789232).find("backlog: 0 waiting\n"), std::string::npos);
}

// The metrics file is anyone's to write: a value no count or time can be
// must come out clamped, never as the undefined result of converting it.
TEST(SiteState, OutOfRangeNumbersAreClampedNotConverted) {
  // The latest time the board's time_t can hold.
  const char* const kLatest =
      sizeof(std::time_t) < 8 ? "2038-01-19T03:14:07Z" : "9999-12-31T23:59:59Z";
  const struct {
    const char* value;
    std::uint64_t delivered;
    const char* last_delivery;  // null: none
  } kCases[] = {
      {"1e300", 9007199254740992ULL, kLatest},
      {"1e999", 9007199254740992ULL, kLatest},  // past a double: inf
      {"+Inf", 9007199254740992ULL, kLatest},
      {"18446744073709551616", 9007199254740992ULL, kLatest},
      {"-1", 0, nullptr},
      {"-Inf", 0, nullptr},
      {"-1e300", 0, nullptr},
      {"NaN", 0, nullptr},
      {"nan", 0, nullptr},
      {"42.9", 42, "1970-01-01T00:00:42Z"},
  };
  for (const auto& c : kCases) {
    SiteState state;
    const std::string v = c.value;
    ASSERT_TRUE(ReadMetricsText("networkproxy_events_total{result=\"delivered\"} " + v + "\n" +
                                    "networkproxy_last_delivery_timestamp_seconds " + v + "\n" +
                                    "networkproxy_spool_oldest_event_timestamp_seconds " + v + "\n",
                                &state)
                    .ok())
        << v;
    EXPECT_EQ(state.delivered, c.delivered) << v;
    const Json::Value json = Parse(SiteStateJson(state, 1796819500));
    if (c.last_delivery == nullptr) {
      EXPECT_TRUE(json["last_delivery"].isNull()) << v;
    } else {
      EXPECT_EQ(json["last_delivery"], c.last_delivery) << v;
    }
    EXPECT_GE(json["oldest_waiting_seconds"].asInt64(), 0) << v;
    SiteStateText(state, 1796819500);
  }
}

// Texts read from the file are printed with their control bytes escaped,
// in JSON too (where a raw DEL would otherwise pass).
TEST(SiteState, ControlBytesInTextsArePrintedEscaped) {
  SiteState state;
  ASSERT_TRUE(ReadMetricsText("networkproxy_controller_info{version=\"1.0\x1b[2J\x7f\"} 1\n"
                              "networkproxy_last_firmware_check_timestamp_seconds 1796819465\n"
                              "networkproxy_last_firmware_check_info{result=\"failed\","
                              "reason=\"HTTP 403\\n\x1b]0;owned\x07\"} 1\n",
                              &state)
                  .ok());
  const Json::Value json = Parse(SiteStateJson(state, 1796819500));
  EXPECT_EQ(json["firmware_version"], "1.0\\x1B[2J\\x7F");
  EXPECT_EQ(json["last_firmware_check"]["reason"], "HTTP 403\\x0A\\x1B]0;owned\\x07");
  const std::string text = SiteStateText(state, 1796819500);
  EXPECT_NE(text.find("controller firmware: 1.0\\x1B[2J\\x7F\n"), std::string::npos) << text;
  EXPECT_NE(text.find("failed - HTTP 403\\x0A\\x1B]0;owned\\x07\n"), std::string::npos) << text;
}

}  // namespace
