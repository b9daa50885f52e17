// StopSignal: SIGTERM and SIGINT as a request to stop, handed to the main
// thread; and a worker's request that the daemon end (the device is gone,
// the update script has taken over), handed to it the same way, so that the
// process ends only in main's flow.
//
// The handler only writes the signal's number into a pipe, all a handler
// may safely do; the main thread reads it there and stops the daemon in
// order (NetworkProxy::Stop). A handler rather than blocking the signals in
// every thread: a blocked signal would stay blocked in every program the
// daemon starts (curl, the update script), while a handler is reset to the
// default when a program is started. The handler is installed with
// SA_RESTART, and every wait in the workers retries on EINTR.
#ifndef NETWORKPROXY_STOPSIGNAL_H_
#define NETWORKPROXY_STOPSIGNAL_H_

#include <chrono>

// Installs the handler for SIGTERM and SIGINT. Main thread, before any other
// thread runs. Until StartupOver(), nothing is in flight and nothing waits
// for the pipe: the handler then only writes "Stopping (SIGTERM)" to
// standard output and ends the process with status 0 at once, rather than
// letting a stop wait out up to 20 s of start-up.
void InstallStopHandlers();

// A stop during start-up ends the exclusive use of the serial port on `fd`
// before the process ends, as the orderly stop does. Main thread, as soon as
// the port is exclusive (SerialLink::Open).
void EndExclusiveUseOnEarlyStop(int fd);

// Start-up is over: from now on a stop signal goes to the main thread.
void StartupOver();

// Waits at most `longest` for a stop request; returns it (a signal's number
// or an exit request, see IsExitRequest), or 0 when none came. Main thread
// only.
int AwaitStopSignal(std::chrono::microseconds longest);

// Asks the main thread to end the daemon with `status` (0 to 127) at once,
// without the orderly stop, and never returns: the calling worker waits for
// the end like the others, since the process ends in main's flow and a
// worker that finished would be left unjoined. A worker thread, after
// StartupOver().
[[noreturn]] void RequestExit(int status);

// Whether a request AwaitStopSignal returned came from RequestExit, and the
// exit status it asked for.
bool IsExitRequest(int request);
int ExitRequestStatus(int request);

// "SIGTERM", "SIGINT", else "signal".
const char* StopSignalName(int signal);

#endif  // NETWORKPROXY_STOPSIGNAL_H_
