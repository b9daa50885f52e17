// Watchdog: tells the service manager the daemon is alive only while both
// workers make progress.
//
// A worker marks each step it takes (a report exchange, a firmware check)
// with Begin and End; waiting for work (a serial read, the pause between
// checks) is idle and never counts against it. A step that runs past its
// bound means the worker is stuck: the main thread then stops sending
// WATCHDOG=1, and the service manager restarts the daemon once its
// WatchdogSec= runs out.
//
// Threads: each WorkerProgress is marked by its own worker and read by the
// main thread; ReadWatchdogSetup runs on the main thread before any worker
// starts; RunMainIdleLoop is the main thread's life after start-up, until a
// stop signal; AwaitReportsIdle belongs to the stop that follows.
#ifndef NETWORKPROXY_WATCHDOG_H_
#define NETWORKPROXY_WATCHDOG_H_

#include <atomic>
#include <chrono>
#include <cstdint>

#include "Intervals.h"

// A report exchange: curl's whole time, the pause before the sequence
// command, and room for the serial writes and starting curl.
constexpr std::chrono::seconds kReportStepMargin{15};
constexpr std::chrono::seconds kReportStepBound = kCurlMaxTime + kSequencePause + kReportStepMargin;
static_assert(kReportStepMargin > std::chrono::seconds(0),
              "an exchange that curl itself ends in time must never count as stuck");

// A firmware check: the S3 layer's deadlines for the version file and the
// image (each covers its retries), and a margin for the signature's small
// request (30 s at most), writing and syncing the image and starting the
// update script. About 37 minutes with the default 64 MiB image bound.
constexpr std::chrono::seconds kFirmwareCheckMargin{120};
constexpr std::chrono::seconds kFirmwareCheckBound =
    kVersionFileDeadline + kImageDeadline + kFirmwareCheckMargin;

class WorkerProgress {
 public:
  using Clock = std::chrono::steady_clock;

  // `name` (static text) names the worker in the log.
  explicit WorkerProgress(const char* name) : name_(name) {}

  // The worker starts a step that should end within `bound`.
  void Begin(Clock::duration bound, Clock::time_point now = Clock::now());
  // The step has ended; the worker is idle.
  void End();

  // True when a step has been running past its bound at `now`; `running`
  // (may be null) then receives how long it has run.
  bool Stuck(Clock::time_point now, Clock::duration* running = nullptr) const;

  // True while a step runs.
  bool Busy() const { return started_.load(std::memory_order_acquire) != 0; }

  const char* name() const { return name_; }

 private:
  const char* name_;
  // Start of the running step in Clock ticks since its epoch; 0: idle.
  std::atomic<std::int64_t> started_{0};
  std::atomic<std::int64_t> bound_{0};
};

// The workers (the sender runs only with the spool on; idle otherwise).
extern WorkerProgress serial_progress;
extern WorkerProgress update_progress;
extern WorkerProgress sender_progress;

struct WatchdogSetup {
  bool enabled = false;
  std::chrono::microseconds interval{0};  // the service manager's WatchdogSec
};

// Reads WATCHDOG_USEC (and WATCHDOG_PID) as the service manager set them and
// takes them out of the environment, so no child process takes them for its
// own.
WatchdogSetup ReadWatchdogSetup();

// Time between two pings: half the interval, at most kMainIdleStep.
std::chrono::microseconds PingPeriod(const WatchdogSetup& setup);

// The main thread after start-up: waits for a stop signal (StopSignal.h),
// and with the watchdog on sends WATCHDOG=1 every PingPeriod while no
// worker is stuck. A stuck worker is logged once ("Error: Watchdog -
// <worker> stuck for <n> s"). Returns the stop request (AwaitStopSignal).
int RunMainIdleLoop(const WatchdogSetup& setup);

// Waits until no report exchange runs (serial and sender workers), at most
// `longest`. True when none runs any more.
bool AwaitReportsIdle(std::chrono::milliseconds longest);

#endif  // NETWORKPROXY_WATCHDOG_H_
