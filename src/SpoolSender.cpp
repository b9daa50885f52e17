#include "SpoolSender.h"

#include <algorithm>
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

void LogLateReply(const char* reply_line) {
  LogLine("Response from Server");
  std::string logged(reply_line);
  if (!logged.empty() && logged.back() == '\n') logged.pop_back();
  LogLine(logged);
  LogLine("Late reply not sent to the controller");
}

}  // namespace

SpoolSender::SpoolSender(Spool& spool, const ReportTarget& target, SerialLink& link)
    : spool_(spool), intake_(spool), target_(target), link_(link), session_(target_) {
  // What a restart found (a backlog, dead letters) shows from the first figures on.
  ShowSpoolFigures();
}

void SpoolSender::ShowSpoolFigures() {
  const SpoolCounts counts = spool_.Counts();
  SpoolFigures figures;
  figures.waiting = static_cast<long>(counts.waiting + intake_.InMemory());
  figures.dead_letters = static_cast<long>(counts.dead);
  figures.oldest_ms = counts.oldest_waiting_ms;
  service_status().SetSpoolFigures(figures);
}

void SpoolSender::FollowSpoolChanges() {
  const StatusSnapshot before = service_status().Snapshot();
  ShowSpoolFigures();
  const StatusSnapshot after = service_status().Snapshot();
  if (after.spool_waiting != before.spool_waiting ||
      after.spool_dead_letters != before.spool_dead_letters ||
      after.spool_oldest_ms != before.spool_oldest_ms) {
    service_status().Publish();
  }
}

void SpoolSender::PauseFollowingSpool(std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  for (auto now = end - wait; now < end; now = std::chrono::steady_clock::now()) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kSpoolIdleCheck));
    FollowSpoolChanges();
  }
}

void SpoolSender::Accept(const std::vector<LineEvent>& events) {
  // Kept in the spool or, while it cannot store them, in memory: either
  // way the sender posts them, and this thread goes back to reading.
  NoteDropped(intake_.Take(events));
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    work_ = true;
  }
  wake_.notify_one();
}

void SpoolSender::NoteDropped(std::size_t dropped) {
  ShowSpoolFigures();
  if (dropped == 0) service_status().Publish();
  for (std::size_t i = 0; i < dropped; ++i) service_status().NoteEvent(EventResult::kDropped);
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
        FollowSpoolChanges();
        break;
      case Outcome::kDone:
      case Outcome::kRejected:
      case Outcome::kNotRemoved:
        backoff.Reset();
        break;
      case Outcome::kFailed:
      case Outcome::kHeld:
        // New events do not cut a back-off short: the server is what we
        // wait for, and it may have said how long.
        PauseFollowingSpool(retry_after_ ? backoff.RetryAfter(*retry_after_) : backoff.Next());
        break;
    }
  }
}

void SpoolSender::RecordSettled() {
  // In order: the first one the spool cannot record stops the rest.
  while (!unrecorded_.empty()) {
    const Unrecorded& first = unrecorded_.front();
    const Status recorded =
        first.dead_ms == 0 ? spool_.Remove(first.id) : spool_.MarkDead(first.id, first.dead_ms);
    if (!recorded.ok()) return;
    unrecorded_.erase(unrecorded_.begin());
  }
}

void SpoolSender::WaitForWork(std::chrono::seconds longest) {
  std::unique_lock<std::mutex> lock(wake_mutex_);
  wake_.wait_for(lock, longest, [this] { return work_; });
  work_ = false;
}

SpoolSender::Outcome SpoolSender::SendOldest() {
  retry_after_.reset();
  // Events kept in memory go to the spool as soon as it takes them again.
  const std::size_t dropped = intake_.Store();
  if (dropped > 0) NoteDropped(dropped);
  RecordSettled();
  SpooledEvent event;
  bool from_memory = false;
  const std::int64_t after = unrecorded_.empty() ? 0 : unrecorded_.back().id;
  if (!intake_.Next(&event, &from_memory, after)) return Outcome::kIdle;

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
  const bool rejected = result.answer == AnswerClass::kRejected;
  if (result.delivered()) rejected_in_row_ = 0;
  if (rejected && ++rejected_in_row_ >= kMaxRejectedInRow) {
    // A server (or a proxy before it) that rejects everything would turn
    // the whole backlog into dead letters: the third event in a row waits.
    if (rejected_in_row_ == kMaxRejectedInRow) {
      LogLine("Error: Server rejected 3 events in a row - holding the spool until one is "
              "delivered");
    }
    outcome = Outcome::kHeld;
  } else if (from_memory) {
    // Not in the spool: settling it is taking it out of memory. A rejected
    // one cannot be kept as a dead letter while the spool cannot store.
    if (result.delivered() || rejected) {
      outcome = result.delivered() ? Outcome::kDone : Outcome::kRejected;
      settled = result.delivered() ? EventResult::kDelivered : EventResult::kRejected;
    }
  } else if (result.delivered() || rejected) {
    settled = result.delivered() ? EventResult::kDelivered : EventResult::kRejected;
    outcome = result.delivered() ? Outcome::kDone : Outcome::kRejected;
    unrecorded_.push_back({event.id, result.delivered() ? 0 : NowMs()});
    RecordSettled();
    if (!unrecorded_.empty()) outcome = Outcome::kNotRemoved;
  }
  if (from_memory) intake_.Finish(event.key, settled.has_value());
  // A resent dead letter: delivered, it leaves the rejected; rejected
  // again, it was counted the first time.
  if (event.resent && settled == EventResult::kDelivered) service_status().NoteDeadLetterDelivered();
  if (event.resent && settled == EventResult::kRejected) settled.reset();
  ShowSpoolFigures();
  service_status().NoteExchange(AttemptFor(result.answer), settled);
  return outcome;
}
