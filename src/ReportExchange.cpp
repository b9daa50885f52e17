#include "ReportExchange.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include <json/json.h>

#include "ChildProcess.h"
#include "EventLog.h"
#include "EventTranslation.h"
#include "LineProtocol.h"
#include "ReportAccess.h"
#include "Settings.h"

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

void EncodeEvent(const char* payload, char* output, unsigned long capacity) {
  if (capacity == 0) return;
  std::string text = EventObject(payload);
  std::size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
  LogLine(std::string(output, length));
}

void ActOnReplyLine(const char* reply_line) {
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
    SendTagsCommand(MemberText(reply, "cards").c_str());
    SendLedColourCommand(MemberText(reply, "colour").c_str());
    std::this_thread::sleep_for(std::chrono::seconds(sequence_pause_seconds));
    SendSequenceCommand(MemberText(reply, "sequence").c_str());
  } catch (const std::exception& error) {
    LogFormat("Error: Unusable reply - %s", error.what());
  }
}

std::string ReportUrl() {
  if (ReportUrlSetting() != nullptr) return ReportUrlSetting();
  return std::string("http://") + ReportHost() + "/ping.json";
}

PostResult PostEvent(const std::string& url, const char* event_object,
                     const std::vector<std::string>& extra_headers, int header_file_fd) {
  const std::string connect_timeout = std::to_string(kCurlConnectTimeout.count());
  const std::string max_time = std::to_string(kCurlMaxTime.count());
  // No shell: the event text travels as one argument, never as a command.
  std::vector<const char*> argv = {kCurlPath, "--silent", "--connect-timeout",
                                   connect_timeout.c_str(), "--max-time", max_time.c_str(),
                                   "-XPOST", url.c_str(),
                                   "-H", "Content-Type: application/json"};
  for (const std::string& header : extra_headers) {
    argv.push_back("-H");
    argv.push_back(header.c_str());
  }
  if (header_file_fd >= 0) argv.insert(argv.end(), {"-H", kBearerHeaderArgument});
  const std::vector<std::string> transport = ReportTransportArguments();
  for (const std::string& argument : transport) argv.push_back(argument.c_str());
  argv.insert(argv.end(), {"-d", event_object, "-w", kStatusFormat, nullptr});

  PostResult result;
  char status[kStatusSize] = {0};
  ChildResult run = RunCapture(argv.data(), result.reply_line, sizeof result.reply_line,
                               status, sizeof status, ReportCurlEnvironment(), header_file_fd);
  result.started = run.started;
  result.error = run.error;
  result.exit_status = run.exit_status;
  result.http_status = std::strtol(status, nullptr, 10);
  return result;
}

int ReportEvent(const char* payload) {
  // Static: one thread owns the exchange at a time, and 16 KiB is better
  // kept off the worker's stack.
  static char event_object[kEventObjectCapacity];
  std::memset(event_object, 0, sizeof event_object);
  EncodeEvent(payload, event_object, sizeof event_object);

  BearerHeader bearer;
  if (ReportTokenFile() != nullptr && !bearer.Open(ReportTokenFile())) {
    LogSystemError(bearer.error(), "Error: Report failed - cannot read token file %s",
                   ReportTokenFile());
    return -1;
  }
  PostResult post = PostEvent(ReportUrl(), event_object, {}, bearer.fd());
  if (!post.started) {
    LogSystemError(post.error, "Error: Report failed - curl could not be started");
    return -1;
  }
  const char* reply_line = post.reply_line;
  if (std::strstr(reply_line, "colour") != nullptr || std::strstr(reply_line, "cards") != nullptr) {
    ActOnReplyLine(reply_line);
  }
  if (post.exit_status != 0) {
    if (post.exit_status < 0) {
      LogLine("Error: Report failed - curl did not exit normally");
    } else {
      LogFormat("Error: Report failed - curl exit status %d", post.exit_status);
    }
    return -1;
  }
  // curl succeeds whatever the status: an error answer must not pass for a
  // delivered event.
  if (post.http_status >= 400) {
    LogFormat("Error: Report failed - HTTP %ld", post.http_status);
    return -1;
  }
  return 0;
}
