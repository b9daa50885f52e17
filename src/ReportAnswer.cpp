#include "ReportAnswer.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

struct KnownFailure {
  int status;
  const char* cause;
};

// The causes a site meets in practice, in the operator's words; the README's
// troubleshooting table lists the same.
constexpr KnownFailure kKnownFailures[] = {
    {6, "host not resolved"},
    {7, "connection refused"},
    {28, "timed out"},
    {35, "TLS handshake failed"},
    {60, "server certificate not trusted; see NETWORKPROXY_REPORT_CA"},
    {77, "CA file unreadable: NETWORKPROXY_REPORT_CA"},
};

bool AllDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

}  // namespace

bool SaysTheUrlIsWrong(long http_status) {
  return http_status == 404 || http_status == 405 || http_status == 410 || http_status == 421;
}

AnswerClass ClassifyAnswer(long http_status) {
  if (http_status >= 200 && http_status <= 299) return AnswerClass::kDelivered;
  if (http_status >= 300 && http_status <= 399) return AnswerClass::kRedirect;
  if (http_status == 401 || http_status == 403) return AnswerClass::kRefused;
  if (http_status == 408 || http_status == 425 || http_status == 429) return AnswerClass::kFailed;
  if (SaysTheUrlIsWrong(http_status)) return AnswerClass::kFailed;
  if (http_status >= 400 && http_status <= 499) return AnswerClass::kRejected;
  return AnswerClass::kFailed;
}

const char* AnswerVerb(AnswerClass answer) {
  switch (answer) {
    case AnswerClass::kRefused: return "refused";
    case AnswerClass::kRejected: return "rejected";
    default: return "failed";
  }
}

std::string AnswerReason(long http_status) {
  std::string reason = "HTTP " + std::to_string(http_status);
  if (ClassifyAnswer(http_status) == AnswerClass::kRedirect) reason += " (redirect not followed)";
  if (SaysTheUrlIsWrong(http_status)) reason += " (check NETWORKPROXY_REPORT_URL)";
  return reason;
}

std::string CurlFailureReason(int status) {
  std::string reason = "curl exit status " + std::to_string(status);
  for (const KnownFailure& known : kKnownFailures) {
    if (known.status == status) return reason + " (" + known.cause + ")";
  }
  return reason;
}

std::optional<std::chrono::seconds> RetryAfterWait(const char* value, std::time_t now,
                                                   std::chrono::seconds longest) {
  if (value == nullptr) return std::nullopt;
  while (*value == ' ' || *value == '\t') ++value;
  std::string text(value);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  long long wait = 0;
  if (AllDigits(text.c_str())) {
    // A huge number is as good as "the longest": no overflow to a short wait.
    wait = text.size() > 9 ? longest.count() : std::strtoll(text.c_str(), nullptr, 10);
  } else {
    const std::time_t when = curl_getdate(text.c_str(), nullptr);
    if (when == -1) return std::nullopt;
    wait = static_cast<long long>(when) - static_cast<long long>(now);
  }
  if (wait > longest.count()) wait = longest.count();
  if (wait < kRetryAfterShortest.count()) wait = kRetryAfterShortest.count();
  return std::chrono::seconds(wait);
}
