// ReportExchange: one report exchange with the reporting server, by either
// transport, and turning the server's reply into device commands.
//
// ExchangeReport is the one exchange: it logs the event object, posts it
// through a transport (ReportAnswer.h), classifies the
// answer (ReportAnswer.h) and writes the exchange's one "Error: Report ..."
// line when the event did not get through. What an outcome means for the
// event (gone, kept, a dead letter) and whether a reply may drive the
// controller are the caller's decisions: the plain mode's ReportEvent and
// the spool's sender (SpoolSender.h).
//
// Threads: the serial worker, or the sender worker with its own session;
// whoever acts on a reply holds the link's command lock (SerialLink.h).
#ifndef NETWORKPROXY_REPORTEXCHANGE_H_
#define NETWORKPROXY_REPORTEXCHANGE_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ReportAccess.h"
#include "ReportAnswer.h"

class SerialLink;

// Which mode an exchange serves: the plain mode, where the event is gone
// whatever happens, or store and forward, where it is kept until settled.
// The error line's verb follows the mode: without the spool every lost event
// has always read "failed" (sites grep for it).
enum class ReportMode { kPlain, kSpool };

// The curl tool as a transport: one curl process per post (PostEvent), the
// token handed over in a memory file (BearerHeader).
class CurlToolTransport : public ReportTransport {
 public:
  explicit CurlToolTransport(const ReportTarget& target) : target_(target) {}
  PostResult Post(const char* body, const std::vector<std::string>& headers,
                  const std::string& token) override;

 private:
  const ReportTarget& target_;
};

// Pause between the colour and the sequence command of one reply, in
// seconds; kSequencePause unless a harness that drives ActOnReplyLine at full
// speed (fuzzing) sets it to 0 before any worker runs.
extern unsigned sequence_pause_seconds;

// What became of one exchange.
struct ExchangeResult {
  AnswerClass answer = AnswerClass::kFailed;
  long http_status = 0;                   // 0: no answer came
  char reply_line[kReplyLineSize] = {0};  // last line of the reply body
  std::string reason;  // the error line's words after " - "; empty when delivered
  std::optional<std::chrono::seconds> retry_after;  // the wait the server asked for

  bool delivered() const { return answer == AnswerClass::kDelivered; }
};

// Called with the result after the post and before its error line is
// written, so a reply's own lines come first in the log as they always did.
using ReplyHandler = std::function<void(const ExchangeResult&)>;

// Performs one exchange for `payload` with `target` in `mode`: logs the
// event object, posts it with `headers` ("Name: value") added through
// `transport`; the bearer token (the target's token file) is read afresh
// for each post, so a rotated token takes effect at the next one. Then
// `on_reply` (may be empty) sees the result, and "Error: Report
// <refused|rejected|failed> - <reason>" is logged unless it was delivered
// (always "failed" in the plain mode). A Retry-After is taken up to
// kSpoolRetryMax.
ExchangeResult ExchangeReport(const ReportTarget& target, ReportMode mode, const char* payload,
                              const std::vector<std::string>& headers,
                              ReportTransport& transport, const ReplyHandler& on_reply);

// Posts `event_object` (NUL-terminated) to `target` with the curl tool, with
// the JSON content type and each of `extra_headers` as a request header, and
// waits for curl to end. `header_file_fd`, when not -1, is a file of further
// header lines that curl reads through a descriptor (see BearerHeader in
// ReportAccess.h). curl runs with the target's curl environment as its whole
// environment, "-q" first so that no curlrc changes the request, and the
// target's ReportTransportArguments. Logs nothing and acts on nothing.
PostResult PostEvent(const ReportTarget& target, const char* event_object,
                     const std::vector<std::string>& extra_headers, int header_file_fd = -1);

// Writes the event object of `payload` for `site_id` into `output`
// (capacity `capacity`), cut to capacity - 1 bytes and terminated, and logs
// it. With capacity 0 nothing is written or logged.
void EncodeEvent(const char* payload, const std::string& site_id, char* output,
                 unsigned long capacity);

// The plain mode's exchange (no spool): posts the event with the curl tool
// and, when the reply's last line mentions "colour" or "cards", acts on it
// on `link`, whatever the answer. Ok when it was delivered (a 2xx), else
// the reason it was not: the event is gone either way.
Status ReportEvent(const ReportTarget& target, SerialLink& link, const char* payload);

// True when `reply_line` carries instructions for the controller (mentions
// "colour" or "cards").
bool MentionsInstructions(const char* reply_line);

// Acts on one reply line: logs it, parses it and sends the tags, colour and
// (sequence_pause_seconds later) sequence commands on `link`, holding its
// command lock throughout. Never throws.
void ActOnReplyLine(SerialLink& link, const char* reply_line);

#endif  // NETWORKPROXY_REPORTEXCHANGE_H_
