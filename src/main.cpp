#include <sys/stat.h>

#include <csignal>
#include <cstdio>

#include "NetworkProxy.h"
#include "SettingChecks.h"
#include "StopSignal.h"
#include "Watchdog.h"

namespace {

// The daemon's life; returns the exit status to end with.
int RunDaemon(int argc, char** argv) {
  CommandLine command_line;
  int status = ParseCommandLine(argc, argv, &command_line);
  if (status >= 0) return status;
  // The site's settings are read once, here, before any other thread
  // exists (getenv is not safe against setenv).
  const SiteSettings site = SiteSettingsFromEnvironment();
  // A site that would post to nowhere, or send its token in clear, is
  // stopped here with the line networkproxyctl check prints; the unit does
  // not restart on 78.
  if (RefuseFatalSettings(site)) return kExitConfiguration;
  const DaemonSettings settings = BuildDaemonSettings(command_line, site);
  // Before any thread exists: it takes the watchdog variables out of the
  // environment.
  const WatchdogSetup watchdog = ReadWatchdogSetup();
  // Before any thread: a stop requested during start-up ends it at once.
  InstallStopHandlers();
  // Never destroyed: the workers use it until the process ends.
  NetworkProxy* proxy = new NetworkProxy(settings);
  if (!proxy->Start().ok()) {
    proxy->ReleasePort();
    return 1;
  }
  StartupOver();
  // All work happens on the workers; this thread only watches them until
  // asked to stop, by a signal or by a worker that ends the daemon (the
  // device is gone, or the update script has taken over).
  const int request = RunMainIdleLoop(watchdog);
  if (IsExitRequest(request)) {
    proxy->ReleasePort();
    return ExitRequestStatus(request);
  }
  proxy->Stop(request);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Logs, spool, image, hand-off record and metrics hold event payloads and
  // card lists: none is for other users, with or without a service manager.
  umask(027);
  // Under a service manager stdout is a pipe; start-up lines must not wait
  // in a buffer until the process ends.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A log that reaches the file-size limit must cost log lines, not the
  // daemon: without this the kernel kills the process mid-line.
  std::signal(SIGXFSZ, SIG_IGN);
  // The one place the process ends (bar a stop during start-up): workers
  // may still run, so no static destructor is run.
  EndProcess(RunDaemon(argc, argv));
}
