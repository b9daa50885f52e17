#include "ReportExchange.h"

#include <cstdlib>
#include <ctime>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include <json/json.h>

#include "ChildProcess.h"
#include "Credentials.h"
#include "EventLog.h"
#include "EventTranslation.h"
#include "LineProtocol.h"
#include "ReportAccess.h"
#include "SerialLink.h"
#include "ServiceStatus.h"
#include "Intervals.h"

unsigned sequence_pause_seconds = static_cast<unsigned>(kSequencePause.count());

namespace {

constexpr const char* kCurlPath = "/usr/bin/curl";
// curl writes the HTTP status on standard error, apart from the reply body
// on standard output; --silent keeps curl's own messages off it. "000" means
// no answer came.
constexpr const char* kStatusFormat = "%{stderr}%{http_code}";
constexpr std::size_t kStatusSize = 16;

// Text of `member` of `reply` as the controller should get it. Members that
// are missing, null, arrays or objects give the empty text; a reply that is
// not an object has no members.
std::string MemberText(const Json::Value& reply, const char* member) {
  if (!reply.isObject()) return std::string();
  const Json::Value& value = reply[member];
  if (value.isNull() || value.isArray() || value.isObject()) return std::string();
  try {
    return value.asString();
  } catch (const std::exception&) {
    return std::string();
  }
}

}  // namespace

void EncodeEvent(const char* payload, const std::string& site_id, char* output,
                 unsigned long capacity) {
  if (capacity == 0) return;
  std::string text = EventObject(payload, site_id);
  std::size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
  LogLine(std::string(output, length));
}

void ActOnReplyLine(SerialLink& link, const char* reply_line) {
  const auto lock = link.LockCommands();
  try {
    LogLine("Response from Server");
    // The line's own LF would leave an unstamped empty line in the log.
    std::string logged(reply_line);
    if (!logged.empty() && logged.back() == '\n') logged.pop_back();
    LogLine(logged);
    Json::Value reply;
    Json::Reader reader;
    if (!reader.parse(std::string(reply_line), reply, true)) {
      LogLine("Error parsing the string");
    }
    SendTagsCommand(link, MemberText(reply, "cards").c_str());
    SendLedColourCommand(link, MemberText(reply, "colour").c_str());
    std::this_thread::sleep_for(std::chrono::seconds(sequence_pause_seconds));
    SendSequenceCommand(link, MemberText(reply, "sequence").c_str());
  } catch (const std::exception& error) {
    LogFormat("Error: Unusable reply - %s", error.what());
  }
}

bool MentionsInstructions(const char* reply_line) {
  return std::strstr(reply_line, "colour") != nullptr ||
         std::strstr(reply_line, "cards") != nullptr;
}

PostResult PostEvent(const ReportTarget& target, const char* event_object,
                     const std::vector<std::string>& extra_headers, int header_file_fd) {
  const std::string connect_timeout = std::to_string(kCurlConnectTimeout.count());
  const std::string max_time = std::to_string(kCurlMaxTime.count());
  // No shell: the event text travels as one argument, never as a command.
  // "-q" must come first: no curlrc of the user's may change the request.
  std::vector<const char*> argv = {kCurlPath, "-q", "--silent", "--connect-timeout",
                                   connect_timeout.c_str(), "--max-time", max_time.c_str(),
                                   "-XPOST", target.url.c_str(),
                                   "-H", "Content-Type: application/json"};
  for (const std::string& header : extra_headers) {
    argv.push_back("-H");
    argv.push_back(header.c_str());
  }
  if (header_file_fd >= 0) argv.insert(argv.end(), {"-H", kBearerHeaderArgument});
  const std::vector<std::string> transport = ReportTransportArguments(target);
  for (const std::string& argument : transport) argv.push_back(argument.c_str());
  argv.insert(argv.end(), {"-d", event_object, "-w", kStatusFormat, nullptr});

  std::vector<const char*> environment;
  for (const std::string& entry : target.curl_environment) environment.push_back(entry.c_str());
  environment.push_back(nullptr);

  PostResult result;
  char status[kStatusSize] = {0};
  ChildResult run = RunCapture(argv.data(), result.reply_line, sizeof result.reply_line,
                               status, sizeof status, environment.data(), header_file_fd);
  result.start = run.start;
  result.exit_status = run.exit_status;
  result.http_status = std::strtol(status, nullptr, 10);
  return result;
}

PostResult CurlToolTransport::Post(const char* body, const std::vector<std::string>& headers,
                                   const std::string& token) {
  BearerHeader bearer;
  if (!token.empty()) {
    PostResult result;
    result.start = bearer.Fill(token);
    if (!result.start.ok()) return result;
  }
  return PostEvent(target_, body, headers, bearer.fd());
}

ExchangeResult ExchangeReport(const ReportTarget& target, ReportMode mode, const char* payload,
                              const std::vector<std::string>& headers,
                              ReportTransport& transport, const ReplyHandler& on_reply) {
  // Kept off the workers' stacks; one per thread, since the sender and the
  // reading thread (posting directly while the spool cannot keep events)
  // may exchange at once.
  static thread_local char event_object[kEventObjectCapacity];
  std::memset(event_object, 0, sizeof event_object);
  EncodeEvent(payload, target.site_id, event_object, sizeof event_object);

  ExchangeResult result;
  std::string token;
  const Status token_read = target.token_file.empty()
                                ? Status::Ok()
                                : ReadReportToken(target.token_file.c_str(), token);
  PostResult post;
  if (token_read.ok()) post = transport.Post(event_object, headers, token);
  WipeString(token);
  std::memcpy(result.reply_line, post.reply_line, sizeof result.reply_line);
  result.http_status = post.http_status;
  if (!token_read.ok()) {
    result.reason = "cannot read token file " + target.token_file + ": " + token_read.reason();
  } else if (!post.start.ok()) {
    result.reason = "curl could not be started: " + post.start.reason();
  } else if (post.exit_status < 0) {
    result.reason = "curl did not exit normally";
  } else if (post.exit_status > 0) {
    result.reason = CurlFailureReason(post.exit_status);
  } else {
    result.answer = ClassifyAnswer(post.http_status);
    if (!result.delivered()) result.reason = AnswerReason(post.http_status);
    if (result.answer == AnswerClass::kFailed && !post.retry_after.empty()) {
      result.retry_after = RetryAfterWait(post.retry_after.c_str(), std::time(nullptr),
                                          kSpoolRetryMax);
    }
  }
  // curl may have written a reply and still failed (a body cut off): the
  // caller may act on what came.
  if (on_reply) on_reply(result);
  if (!result.delivered()) {
    // Without the spool (the curl tool's transport) every lost event has
    // always read "failed": sites grep for it, and refused or rejected makes
    // no difference to an event nothing keeps.
    const char* verb = mode == ReportMode::kPlain ? "failed" : AnswerVerb(result.answer);
    const std::string line = std::string("Report ") + verb + " - " + result.reason;
    LogFormat("Error: %s", line.c_str());
    service_status().NoteReportFailure(std::time(nullptr), line);
  }
  return result;
}

Status ReportEvent(const ReportTarget& target, SerialLink& link, const char* payload) {
  CurlToolTransport curl(target);
  const ExchangeResult result =
      ExchangeReport(target, ReportMode::kPlain, payload, {}, curl, [&link](const ExchangeResult& r) {
        if (MentionsInstructions(r.reply_line)) ActOnReplyLine(link, r.reply_line);
      });
  // Nothing keeps the event: whatever did not deliver it lost it.
  service_status().NoteExchange(AttemptFor(result.answer),
                                result.delivered() ? EventResult::kDelivered : EventResult::kFailed);
  return result.delivered() ? Status::Ok() : Status::Error(result.reason);
}
