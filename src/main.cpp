#include <csignal>
#include <cstdio>
#include <thread>

#include "NetworkProxy.h"

int main(int argc, char** argv) {
  // Under a service manager stdout is a pipe; start-up lines must not wait
  // in a buffer until the process ends.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A log that reaches the file-size limit must cost log lines, not the
  // daemon: without this the kernel kills the process mid-line.
  std::signal(SIGXFSZ, SIG_IGN);
  int status = ParseCommandLine(argc, argv);
  if (status >= 0) return status;
  NetworkProxy proxy;
  // All work happens on the workers; the service object lives until the
  // process ends.
  for (;;) std::this_thread::sleep_for(kMainIdleStep);
}
