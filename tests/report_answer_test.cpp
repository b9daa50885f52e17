// What an answer of the reporting server means for its event, the words a
// failed post is logged with, and the wait a Retry-After asks for.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include "ReportAnswer.h"

namespace {

using std::chrono::seconds;

// One table of answers: a class wrong here loses a backlog (401 as a
// rejection) or an event (302 as delivered).
TEST(ReportAnswer, EveryAnswerHasItsClassAndLine) {
  struct Row {
    long status;
    AnswerClass answer;
    const char* verb;
    const char* reason;
  } rows[] = {
      {200, AnswerClass::kDelivered, "failed", "HTTP 200"},
      {204, AnswerClass::kDelivered, "failed", "HTTP 204"},
      {302, AnswerClass::kRedirect, "failed", "HTTP 302 (redirect not followed)"},
      {308, AnswerClass::kRedirect, "failed", "HTTP 308 (redirect not followed)"},
      {401, AnswerClass::kRefused, "refused", "HTTP 401"},
      {403, AnswerClass::kRefused, "refused", "HTTP 403"},
      {408, AnswerClass::kFailed, "failed", "HTTP 408"},
      {425, AnswerClass::kFailed, "failed", "HTTP 425"},
      {429, AnswerClass::kFailed, "failed", "HTTP 429"},
      {500, AnswerClass::kFailed, "failed", "HTTP 500"},
      {503, AnswerClass::kFailed, "failed", "HTTP 503"},
      {0, AnswerClass::kFailed, "failed", "HTTP 0"},
      {100, AnswerClass::kFailed, "failed", "HTTP 100"},
      {400, AnswerClass::kRejected, "rejected", "HTTP 400"},
      {404, AnswerClass::kFailed, "failed", "HTTP 404 (check NETWORKPROXY_REPORT_URL)"},
      {405, AnswerClass::kFailed, "failed", "HTTP 405 (check NETWORKPROXY_REPORT_URL)"},
      {410, AnswerClass::kFailed, "failed", "HTTP 410 (check NETWORKPROXY_REPORT_URL)"},
      {421, AnswerClass::kFailed, "failed", "HTTP 421 (check NETWORKPROXY_REPORT_URL)"},
      {409, AnswerClass::kRejected, "rejected", "HTTP 409"},
      {422, AnswerClass::kRejected, "rejected", "HTTP 422"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ClassifyAnswer(row.status), row.answer) << row.status;
    EXPECT_STREQ(AnswerVerb(row.answer), row.verb) << row.status;
    EXPECT_EQ(AnswerReason(row.status), row.reason);
  }
}

TEST(ReportAnswer, CommonCurlFailuresNameTheirCauseAndSetting) {
  EXPECT_EQ(CurlFailureReason(7), "curl exit status 7 (connection refused)");
  EXPECT_EQ(CurlFailureReason(6), "curl exit status 6 (host not resolved)");
  EXPECT_EQ(CurlFailureReason(28), "curl exit status 28 (timed out)");
  EXPECT_EQ(CurlFailureReason(35), "curl exit status 35 (TLS handshake failed)");
  EXPECT_EQ(CurlFailureReason(60),
            "curl exit status 60 (server certificate not trusted; see NETWORKPROXY_REPORT_CA)");
  EXPECT_EQ(CurlFailureReason(77), "curl exit status 77 (CA file unreadable: NETWORKPROXY_REPORT_CA)");
  EXPECT_EQ(CurlFailureReason(52), "curl exit status 52");
  // The session's result codes are read with the same table.
  EXPECT_EQ(CURLE_COULDNT_CONNECT, 7);
  EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, 60);
  EXPECT_EQ(CURLE_SSL_CACERT_BADFILE, 77);
}

TEST(ReportAnswer, RetryAfterIsSecondsOrADateCappedAtTheLongestWait) {
  const std::time_t now = curl_getdate("Wed, 09 Dec 2026 00:00:00 GMT", nullptr);
  const seconds longest(300);
  struct Row {
    const char* value;
    std::optional<seconds> wait;
  } rows[] = {
      {"3", seconds(3)},
      {" 120 ", seconds(120)},
      {"86400", seconds(300)},
      {"99999999999999999999", seconds(300)},
      {"0", seconds(1)},
      {"Wed, 09 Dec 2026 00:00:42 GMT", seconds(42)},
      {"Wed, 09 Dec 2026 01:00:00 GMT", seconds(300)},
      {"Tue, 08 Dec 2026 23:00:00 GMT", seconds(1)},
      {"soon", std::nullopt},
      {"-5", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(RetryAfterWait(row.value, now, longest), row.wait) << row.value;
  }
  EXPECT_EQ(RetryAfterWait(nullptr, now, longest), std::nullopt);
}

}  // namespace
