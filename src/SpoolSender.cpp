#include "SpoolSender.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Backoff.h"
#include "EventLog.h"
#include "ReportExchange.h"
#include "ServiceStatus.h"
#include "Intervals.h"
#include "Watchdog.h"

namespace {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void LogLateReply(const char* reply_line) {
  LogLine("Response from Server");
  std::string logged(reply_line);
  if (!logged.empty() && logged.back() == '\n') logged.pop_back();
  LogLine(logged);
  LogLine("Late reply not sent to the controller");
}

}  // namespace

SpoolSender::SpoolSender(Spool& spool, const ReportTarget& target, SerialLink& link)
    : spool_(spool), target_(target), link_(link), session_(target_) {
  // What a restart found (a backlog, dead letters) shows from the first figures on.
  ShowSpoolFigures();
}

void SpoolSender::ShowSpoolFigures() {
  const SpoolCounts counts = spool_.Counts();
  SpoolFigures figures;
  figures.waiting = static_cast<long>(counts.waiting);
  figures.dead_letters = static_cast<long>(counts.dead);
  figures.oldest_ms = counts.oldest_waiting_ms;
  service_status().SetSpoolFigures(figures);
}

void SpoolSender::Accept(const char* payload) {
  std::size_t dropped = 0;
  if (spool_.Add(payload, NowMs(), &dropped).ok()) {
    ShowSpoolFigures();
    if (dropped == 0) service_status().Publish();
    for (std::size_t i = 0; i < dropped; ++i) service_status().NoteEvent(EventResult::kDropped);
    {
      std::lock_guard<std::mutex> lock(wake_mutex_);
      work_ = true;
    }
    wake_.notify_one();
    return;
  }
  // The spool cannot keep it: the plain mode's exchange, on this thread; it
  // counts the event itself.
  LogLine("Sending Message: ");
  serial_progress.Begin(kReportStepBound);
  ReportEvent(target_, link_, payload);
  serial_progress.End();
}

void SpoolSender::Run() {
  Backoff backoff;
  for (;;) {
    sender_progress.Begin(kReportStepBound);
    const Outcome outcome = SendOldest();
    sender_progress.End();
    switch (outcome) {
      case Outcome::kIdle:
        WaitForWork(kSpoolIdleCheck);
        break;
      case Outcome::kDone:
      case Outcome::kRejected:
        backoff.Reset();
        break;
      case Outcome::kFailed:
      case Outcome::kHeld:
      case Outcome::kNotRemoved:
        // New events do not cut a back-off short: the server is what we
        // wait for, and it may have said how long.
        std::this_thread::sleep_for(retry_after_ ? backoff.RetryAfter(*retry_after_)
                                                 : backoff.Next());
        break;
    }
  }
}

void SpoolSender::WaitForWork(std::chrono::seconds longest) {
  std::unique_lock<std::mutex> lock(wake_mutex_);
  wake_.wait_for(lock, longest, [this] { return work_; });
  work_ = false;
}

SpoolSender::Outcome SpoolSender::SendOldest() {
  retry_after_.reset();
  SpooledEvent event;
  if (!spool_.Oldest(&event)) return Outcome::kIdle;

  LogLine("Sending Message: ");
  const std::vector<std::string> headers = {
      "Idempotency-Key: " + event.key,
      "X-Event-Received: " + Rfc3339Utc(event.received_ms)};
  const auto window_ms = std::chrono::milliseconds(kSpoolReplyWindow).count();
  const bool current = NowMs() - event.received_ms <= window_ms;
  const ExchangeResult result =
      ExchangeReport(target_, ReportMode::kSpool, event.payload.c_str(), headers, session_,
                     [this, current](const ExchangeResult& r) {
        // Only an event the server took may drive the controller.
        if (!r.delivered() || !MentionsInstructions(r.reply_line)) return;
        if (current) {
          ActOnReplyLine(link_, r.reply_line);
        } else {
          LogLateReply(r.reply_line);
        }
      });
  retry_after_ = result.retry_after;

  Outcome outcome = Outcome::kFailed;
  std::optional<EventResult> settled;
  if (result.answer == AnswerClass::kDelivered) {
    rejected_in_row_ = 0;
    outcome = spool_.Remove(event.id).ok() ? Outcome::kDone : Outcome::kNotRemoved;
    if (outcome == Outcome::kDone) settled = EventResult::kDelivered;
  } else if (result.answer == AnswerClass::kRejected && ++rejected_in_row_ >= kMaxRejectedInRow) {
    // A server (or a proxy before it) that rejects everything would turn
    // the whole backlog into dead letters: the third event in a row waits.
    if (rejected_in_row_ == kMaxRejectedInRow) {
      LogLine("Error: Server rejected 3 events in a row - holding the spool until one is "
              "delivered");
    }
    outcome = Outcome::kHeld;
  } else if (result.answer == AnswerClass::kRejected) {
    outcome = spool_.MarkDead(event.id, NowMs()).ok() ? Outcome::kRejected : Outcome::kNotRemoved;
    if (outcome == Outcome::kRejected) settled = EventResult::kRejected;
  }
  ShowSpoolFigures();
  service_status().NoteExchange(AttemptFor(result.answer), settled);
  return outcome;
}
