#include "Watchdog.h"

#include <algorithm>
#include <thread>
#ifdef NETWORKPROXY_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "EventLog.h"
#include "StopSignal.h"

WorkerProgress serial_progress("serial worker");
WorkerProgress update_progress("update worker");
WorkerProgress sender_progress("sender worker");

void WorkerProgress::Begin(Clock::duration bound, Clock::time_point now) {
  bound_.store(bound.count(), std::memory_order_relaxed);
  // A clock reading of exactly 0 would read as idle; one tick later is as good.
  std::int64_t ticks = now.time_since_epoch().count();
  started_.store(ticks == 0 ? 1 : ticks, std::memory_order_release);
}

void WorkerProgress::End() { started_.store(0, std::memory_order_release); }

bool WorkerProgress::Stuck(Clock::time_point now, Clock::duration* running) const {
  const std::int64_t started = started_.load(std::memory_order_acquire);
  if (started == 0) return false;
  const Clock::duration elapsed = now.time_since_epoch() - Clock::duration(started);
  if (running != nullptr) *running = elapsed;
  return elapsed > Clock::duration(bound_.load(std::memory_order_relaxed));
}

WatchdogSetup ReadWatchdogSetup() {
  WatchdogSetup setup;
#ifdef NETWORKPROXY_HAVE_SYSTEMD
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(1, &usec) > 0 && usec > 0) {
    setup.enabled = true;
    setup.interval = std::chrono::microseconds(usec);
  }
#endif
  return setup;
}

std::chrono::microseconds PingPeriod(const WatchdogSetup& setup) {
  const std::chrono::microseconds idle = kMainIdleStep;
  if (!setup.enabled) return idle;
  return std::min(setup.interval / 2, idle);
}

int RunMainIdleLoop(const WatchdogSetup& setup) {
  const std::chrono::microseconds period = PingPeriod(setup);
  const WorkerProgress* workers[] = {&serial_progress, &update_progress, &sender_progress};
  bool reported = false;
  for (;;) {
    if (setup.enabled) {
      const WorkerProgress* stuck = nullptr;
      WorkerProgress::Clock::duration running{};
      for (const WorkerProgress* worker : workers) {
        if (worker->Stuck(WorkerProgress::Clock::now(), &running)) {
          stuck = worker;
          break;
        }
      }
      if (stuck == nullptr) {
#ifdef NETWORKPROXY_HAVE_SYSTEMD
        sd_notify(0, "WATCHDOG=1");
#endif
        reported = false;
      } else if (!reported) {
        reported = true;
        LogFormat("Error: Watchdog - %s stuck for %lld s", stuck->name(),
                  static_cast<long long>(
                      std::chrono::duration_cast<std::chrono::seconds>(running).count()));
      }
    }
    if (const int signal = AwaitStopSignal(period)) return signal;
  }
}

bool AwaitReportsIdle(std::chrono::milliseconds longest) {
  // Polled: an exchange has no way to tell the main thread it ended, and a
  // tenth of a second is nothing next to the bound.
  constexpr std::chrono::milliseconds kStep{100};
  const auto deadline = WorkerProgress::Clock::now() + longest;
  while (serial_progress.Busy() || sender_progress.Busy()) {
    if (WorkerProgress::Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kStep);
  }
  return true;
}
