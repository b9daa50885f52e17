// SpoolSender: store and forward between the serial worker and the
// reporting server. The thread that reads the port hands each event to
// Accept, which commits it to the Spool and returns at once; the sender
// worker (Run) posts the waiting events oldest first, one at a time, and
// removes each once the server has taken it.
//
// Each post is the plain mode's request ("Sending Message: " and the event
// object logged, same URL, headers and body) plus two headers:
// "Idempotency-Key: <the event's key>" and "X-Event-Received: <time read,
// RFC 3339 UTC>", so that the server can place a late event at its real time
// and drop a second copy: delivery is at least once, and after a crash the
// event in flight is posted again under the same key.
//
// The posts go through the sender's own ReportSession (one connection kept
// across events) and ExchangeReport, which logs the exchange and its one
// error line. What an answer means (ReportAnswer.h):
//   2xx: delivered, removed.
//   3xx (never followed), 401, 403, 408, 425, 429, 5xx, no answer: kept; the
//     sender waits as Backoff draws it: between half and all of a step of
//     kSpoolRetryFirst, doubling up to kSpoolRetryMax (a Retry-After on a
//     408/425/429/5xx sets that wait instead, at most kSpoolRetryMax,
//     lengthened by 0-20%), back to the first step after an event is
//     settled. An expired token thus costs time, never the backlog, and a
//     fleet's retries spread out instead of arriving together.
//   404, 405, 410, 421: the URL is wrong, not the event: kept, as for 5xx.
//   any other 4xx: the server will never take it: set aside in the spool as
//     a dead letter (Spool::MarkDead), so one bad event cannot hold up the
//     queue and none is lost unseen; but at most kMaxRejectedInRow - 1 in a
//     row: the next rejected one is held, waiting, and retried with
//     back-off ("Error: Server rejected 3 events in a row - holding the
//     spool until one is delivered"), until a delivery ends the hold. A
//     server that rejects everything thus costs two dead letters, not the
//     backlog.
// A backlog drains without pauses.
//
// Replies: only a 2xx answer's reply may drive the controller, and only when
// its event was posted within kSpoolReplyWindow of being read; a later one
// is logged ("Response from Server", the line, "Late reply not sent to the
// controller") and the controller is left alone: a door should not open
// for a card shown minutes ago. Instructions in an error answer are never
// acted on: the event was not taken.
//
// Counting: each post is one attempt (ok, failed, refused); each event is
// counted once, when it is settled (delivered, rejected) or dropped by the
// bound; the spool's figures are published with it.
//
// Threads and the serial link: with store and forward on, the reading
// thread only reads and keeps (Accept), also while the spool cannot store
// events (they wait in memory, SpoolIntake.h, and are posted from there);
// the sender worker alone posts and writes the reply commands, holding the
// link's command lock for a reply's whole sequence (SerialLink.h).
#ifndef NETWORKPROXY_SPOOLSENDER_H_
#define NETWORKPROXY_SPOOLSENDER_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "ReportSession.h"
#include "SerialLink.h"
#include "Spool.h"
#include "SpoolIntake.h"
#include "Status.h"

// Store and forward's part of the configuration: NETWORKPROXY_SPOOL (the
// spool file; empty: off) and NETWORKPROXY_SPOOL_MAX_EVENTS (the bound;
// kDefaultSpoolMaxEvents when unset or unusable, and `max_events_status`
// then says why, for start-up to report).
constexpr std::size_t kDefaultSpoolMaxEvents = 100000;
struct SpoolSettings {
  std::string path;
  std::size_t max_events = kDefaultSpoolMaxEvents;
  Status max_events_status;
};

// Rejections in a row at which the sender holds the spool.
constexpr int kMaxRejectedInRow = 3;

class SpoolSender {
 public:
  // How one turn of the sender ended.
  enum class Outcome {
    kIdle,        // nothing was waiting
    kDone,        // the server took the event; removed
    kRejected,    // the server rejected it for good; set aside as a dead letter
    kFailed,      // not taken (no answer, 3xx, 401, 403, 429, 5xx, ...); kept
    kHeld,        // rejected, but too many in a row: kept waiting (see above)
    kNotRemoved,  // settled, but the spool could not record it yet: the
                  // sender moves on past it and records it when it can
  };

  // `spool` and `link` must outlive the sender. Posts go to `target`; the
  // replies' commands go on `link`.
  SpoolSender(Spool& spool, const ReportTarget& target, SerialLink& link);

  SpoolSender(const SpoolSender&) = delete;
  SpoolSender& operator=(const SpoolSender&) = delete;

  // Takes the event lines just read, in order: commits them to the spool
  // together (or keeps them in memory while it cannot store them,
  // SpoolIntake.h) and wakes the sender. Never posts and never waits on the
  // network. Called by the thread that reads the port.
  void Accept(const std::vector<LineEvent>& events);

  // The sender worker's loop; never returns.
  [[noreturn]] void Run();

  // One turn: posts the oldest waiting event, settles it and counts it.
  // Sender worker only (tests call it directly).
  Outcome SendOldest();

  // The wait the server asked for in the last turn's answer, if any.
  std::optional<std::chrono::seconds> retry_after() const { return retry_after_; }

 private:
  void WaitForWork(std::chrono::seconds longest);
  // Records in the spool the events settled while it could not be written.
  void RecordSettled();
  // The spool's figures into the operator's status (not published).
  void ShowSpoolFigures();
  // The operator's tool may purge or resend dead letters while nothing is
  // sent: while the sender is idle or waits out a back-off, the figures are
  // looked at every kSpoolIdleCheck and published when they changed.
  void FollowSpoolChanges();
  // Sleeps `wait` (a back-off, up to minutes), following the spool's
  // figures meanwhile as the idle sender does.
  void PauseFollowingSpool(std::chrono::milliseconds wait);
  // Counts `dropped` events and publishes the figures.
  void NoteDropped(std::size_t dropped);

  Spool& spool_;
  SpoolIntake intake_;
  const ReportTarget target_;
  SerialLink& link_;
  ReportSession session_;
  std::optional<std::chrono::seconds> retry_after_;
  // Settled events the spool could not record yet (a full disk), oldest
  // first: removed (dead_ms 0) or set aside as dead letters when it can.
  // Until then the sender posts only events after them.
  struct Unrecorded {
    std::int64_t id;
    std::int64_t dead_ms;
  };
  std::vector<Unrecorded> unrecorded_;
  int rejected_in_row_ = 0;  // rejections since the last delivery (sender worker only)
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool work_ = false;  // an event was committed since the sender last looked
};

#endif  // NETWORKPROXY_SPOOLSENDER_H_
