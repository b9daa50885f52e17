// ReportAnswer: what an answer of the reporting server means for the event
// it was about, the words a post that did not get through is logged with,
// and the wait a server asks for with Retry-After.
//
// Pure functions; any thread may call them.
#ifndef NETWORKPROXY_REPORTANSWER_H_
#define NETWORKPROXY_REPORTANSWER_H_

#include <chrono>
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "Status.h"

// Capacity of the reply line a post keeps, terminator included.
constexpr std::size_t kReplyLineSize = 1024;

// How one post ran, by either transport (the curl tool or the in-process
// session).
struct PostResult {
  Status start;           // failed: the transport could not be started, and why
  int exit_status = -1;   // curl's exit status or libcurl's result code (the
                          // same numbers); -1 when curl did not exit
  long http_status = 0;   // the server's HTTP status; 0 when none came
  char reply_line[kReplyLineSize] = {0};  // last line of the reply body
  std::string retry_after;  // the Retry-After header (session only); empty: none
};

// How an event object reaches the server: the curl tool, one process per
// event (CurlToolTransport, ReportExchange.h), or the sender's own session
// (ReportSession.h). The mode an exchange runs in is the caller's, apart.
class ReportTransport {
 public:
  virtual ~ReportTransport() = default;
  // Posts `body` (NUL-terminated) with `headers` ("Name: value") and, when
  // `token` is not empty, "Authorization: Bearer <token>", and waits for the
  // answer or the time-out. Never logs.
  virtual PostResult Post(const char* body, const std::vector<std::string>& headers,
                          const std::string& token) = 0;
};

// What the answer to one post says about its event.
enum class AnswerClass {
  kDelivered,  // 2xx: the server has it
  kRedirect,   // 3xx: never followed (it would resend the event elsewhere)
  kRefused,    // 401, 403: our credentials, not the event; an expired token
               // must not cost the backlog
  kFailed,     // 408, 425, 429, 5xx, no answer, a status outside 100-599:
               // try again later; also 404, 405, 410, 421, which say the
               // URL is wrong (a wrong path, a proxy mid-deploy), not the
               // event: a misrouted server must not erase a backlog
  kRejected,   // any other 4xx: the server will never take this event
};

// True for the answers that blame the URL, not the event: 404, 405, 410, 421.
bool SaysTheUrlIsWrong(long http_status);

// The class of an answer with `http_status` (0: no answer came).
AnswerClass ClassifyAnswer(long http_status);

// "refused", "rejected" or "failed": the verb of the "Error: Report <verb> -
// <reason>" line for a post that did not deliver.
const char* AnswerVerb(AnswerClass answer);

// The reason for an answer that did not deliver: "HTTP 302 (redirect not
// followed)", "HTTP 404 (check NETWORKPROXY_REPORT_URL)", "HTTP 401", ...
std::string AnswerReason(long http_status);

// "curl exit status <n>", with the cause in brackets where it is a common
// one ("curl exit status 7 (connection refused)"). The curl tool's exit
// statuses and libcurl's result codes share their numbers, so both
// transports are described by one table.
std::string CurlFailureReason(int status);

// The wait a Retry-After value asks for, given as seconds or as an HTTP date
// (`now` is the time the answer came), at most `longest` and at least
// kRetryAfterShortest. Nothing when the value is missing or unusable.
constexpr std::chrono::seconds kRetryAfterShortest{1};
std::optional<std::chrono::seconds> RetryAfterWait(const char* value, std::time_t now,
                                                   std::chrono::seconds longest);

#endif  // NETWORKPROXY_REPORTANSWER_H_
