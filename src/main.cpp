#include <sys/stat.h>

#include <csignal>
#include <cstdio>

#include "NetworkProxy.h"
#include "SettingChecks.h"
#include "StopSignal.h"
#include "Watchdog.h"

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
  int status = ParseCommandLine(argc, argv);
  if (status >= 0) return status;
  // A site that would post to nowhere, or send its token in clear, is
  // stopped here with the line networkproxyctl check prints; the unit does
  // not restart on 78.
  if (RefuseFatalSettings(StartupSiteSettings())) EndProcess(kExitConfiguration);
  // Before any thread exists: it takes the watchdog variables out of the
  // environment.
  const WatchdogSetup watchdog = ReadWatchdogSetup();
  // Before any thread: a stop requested during start-up ends it at once.
  InstallStopHandlers();
  NetworkProxy proxy;
  StartupOver();
  // All work happens on the workers; the service object lives until the
  // process ends, and this thread only watches them until asked to stop.
  proxy.Stop(RunMainIdleLoop(watchdog));
}
