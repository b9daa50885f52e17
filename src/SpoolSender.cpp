#include "SpoolSender.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "ReportAccess.h"
#include "ReportExchange.h"
#include "ServiceStatus.h"
#include "Settings.h"
#include "Watchdog.h"

std::mutex command_mutex;

namespace {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool MentionsInstructions(const char* reply_line) {
  return std::strstr(reply_line, "colour") != nullptr ||
         std::strstr(reply_line, "cards") != nullptr;
}

void LogLateReply(const char* reply_line) {
  LogLine("Response from Server");
  std::string logged(reply_line);
  if (!logged.empty() && logged.back() == '\n') logged.pop_back();
  LogLine(logged);
  LogLine("Late reply not sent to the controller");
}

}  // namespace

std::chrono::seconds RetryDelay::Next() {
  next_ = next_.count() == 0 ? kSpoolRetryFirst : std::min(next_ * 2, kSpoolRetryMax);
  return next_;
}

void RetryDelay::Reset() { next_ = std::chrono::seconds(0); }

SpoolSender::SpoolSender(Spool& spool) : spool_(spool) {}

void SpoolSender::Accept(const char* payload) {
  if (spool_.Add(payload, NowMs())) {
    service_status().SetSpoolWaiting(static_cast<long>(spool_.Count()));
    service_status().Publish();
    {
      std::lock_guard<std::mutex> lock(wake_mutex_);
      work_ = true;
    }
    wake_.notify_one();
    return;
  }
  // The spool cannot keep it: the plain mode's exchange, on this thread.
  std::lock_guard<std::mutex> lock(command_mutex);
  LogLine("Sending Message: ");
  serial_progress.Begin(kReportStepBound);
  const int result = ReportEvent(payload);
  serial_progress.End();
  service_status().NoteEvent(result == 0 ? EventResult::kReported : EventResult::kFailed);
}

void SpoolSender::Run() {
  RetryDelay delay;
  for (;;) {
    sender_progress.Begin(kReportStepBound);
    const Outcome outcome = SendOldest();
    sender_progress.End();
    NoteOutcome(outcome);
    switch (outcome) {
      case Outcome::kIdle:
        WaitForWork(kSpoolIdleCheck);
        break;
      case Outcome::kDone:
      case Outcome::kRejected:
        delay.Reset();
        break;
      case Outcome::kFailed:
      case Outcome::kNotRemoved:
        // New events do not cut a back-off short: the server is what we wait for.
        std::this_thread::sleep_for(delay.Next());
        break;
    }
  }
}

void SpoolSender::NoteOutcome(Outcome outcome) {
  if (outcome == Outcome::kIdle) return;
  service_status().SetSpoolWaiting(static_cast<long>(spool_.Count()));
  service_status().NoteEvent(outcome == Outcome::kDone       ? EventResult::kReported
                             : outcome == Outcome::kRejected ? EventResult::kRejected
                                                             : EventResult::kFailed);
}

void SpoolSender::WaitForWork(std::chrono::seconds longest) {
  std::unique_lock<std::mutex> lock(wake_mutex_);
  wake_.wait_for(lock, longest, [this] { return work_; });
  work_ = false;
}

SpoolSender::Outcome SpoolSender::SendOldest() {
  SpooledEvent event;
  if (!spool_.Oldest(&event)) return Outcome::kIdle;

  LogLine("Sending Message: ");
  std::memset(event_object_, 0, sizeof event_object_);
  EncodeEvent(event.payload.c_str(), event_object_, sizeof event_object_);
  const std::vector<std::string> headers = {
      "Idempotency-Key: " + event.key,
      "X-Event-Received: " + Rfc3339Utc(event.received_ms)};
  const auto window_ms = std::chrono::milliseconds(kSpoolReplyWindow).count();
  const bool current = NowMs() - event.received_ms <= window_ms;

  BearerHeader bearer;
  if (ReportTokenFile() != nullptr && !bearer.Open(ReportTokenFile())) {
    LogSystemError(bearer.error(), "Error: Report failed - cannot read token file %s",
                   ReportTokenFile());
    return Outcome::kFailed;
  }
  PostResult post = PostEvent(ReportUrl(), event_object_, headers, bearer.fd());
  if (!post.started) {
    LogSystemError(post.error, "Error: Report failed - curl could not be started");
    return Outcome::kFailed;
  }
  if (MentionsInstructions(post.reply_line)) {
    if (current) {
      std::lock_guard<std::mutex> lock(command_mutex);
      ActOnReplyLine(post.reply_line);
    } else {
      LogLateReply(post.reply_line);
    }
  }
  // The plain mode's words for a post that did not get through.
  if (post.exit_status != 0) {
    if (post.exit_status < 0) {
      LogLine("Error: Report failed - curl did not exit normally");
    } else {
      LogFormat("Error: Report failed - curl exit status %d", post.exit_status);
    }
    return Outcome::kFailed;
  }
  if (post.http_status >= 500) {
    LogFormat("Error: Report failed - HTTP %ld", post.http_status);
    return Outcome::kFailed;
  }
  Outcome outcome = Outcome::kDone;
  if (post.http_status >= 400) {
    LogFormat("Error: Report rejected - HTTP %ld", post.http_status);
    outcome = Outcome::kRejected;
  }
  return spool_.Remove(event.id) ? outcome : Outcome::kNotRemoved;
}
