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
// Outcome of one post: curl ran and the server answered below 500: done,
// removed. 400-499: "Error: Report rejected - HTTP <status>", removed too,
// so one bad event cannot hold up the queue. No answer, a time-out or a 5xx:
// "Error: Report failed - ..." as in the plain mode; the event stays and the
// sender waits kSpoolRetryFirst, doubling up to kSpoolRetryMax, back to the
// first wait after a post that was taken. A backlog drains without pauses.
//
// Replies: a reply is acted on as in the plain mode only when its event was
// posted within kSpoolReplyWindow of being read; a later one is logged
// ("Response from Server", the line, "Late reply not sent to the
// controller") and the controller is left alone: a door should not open
// for a card shown minutes ago.
//
// Threads and the serial port: with store and forward on, the sender worker
// writes the reply commands and the reading thread only reads, except while
// the spool cannot keep events: then Accept posts the event itself, as the
// plain mode does, and writes that reply's commands. Whoever writes a
// reply's commands holds command_mutex for the whole sequence, so two
// replies never interleave on the wire. Reading and writing one tty
// descriptor from two threads at once is safe: the kernel keeps the two
// directions apart.
#ifndef NETWORKPROXY_SPOOLSENDER_H_
#define NETWORKPROXY_SPOOLSENDER_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "EventTranslation.h"
#include "Spool.h"

// Held by whichever thread writes a reply's commands to the controller.
extern std::mutex command_mutex;

// The sender's wait after a failed post: kSpoolRetryFirst, doubling each
// time up to kSpoolRetryMax; Reset after a post the server took.
class RetryDelay {
 public:
  std::chrono::seconds Next();
  void Reset();

 private:
  std::chrono::seconds next_{0};
};

class SpoolSender {
 public:
  // How one turn of the sender ended.
  enum class Outcome {
    kIdle,        // nothing was waiting
    kDone,        // the server took the event; removed
    kRejected,    // the server refused it (4xx); removed
    kFailed,      // no answer, or a 5xx; kept for a later try
    kNotRemoved,  // taken, but the spool could not remove it; posted again later
  };

  // `spool` must outlive the sender.
  explicit SpoolSender(Spool& spool);

  SpoolSender(const SpoolSender&) = delete;
  SpoolSender& operator=(const SpoolSender&) = delete;

  // Takes the payload of an event line just read: commits it to the spool
  // and wakes the sender; when the spool cannot keep it, logs "Sending
  // Message: " and posts it directly, as the plain mode does. Called by the
  // thread that reads the port (the main thread during start-up).
  void Accept(const char* payload);

  // The sender worker's loop; never returns.
  [[noreturn]] void Run();

  // One turn: posts the oldest waiting event and settles it. Sender worker
  // only (tests call it directly).
  Outcome SendOldest();

 private:
  void WaitForWork(std::chrono::seconds longest);
  // Counts a post's outcome for the operator's figures (a 4xx as rejected,
  // every failed attempt as failed) with the spool's new size.
  void NoteOutcome(Outcome outcome);

  Spool& spool_;
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool work_ = false;  // an event was committed since the sender last looked
  char event_object_[kEventObjectCapacity] = {0};
};

#endif  // NETWORKPROXY_SPOOLSENDER_H_
