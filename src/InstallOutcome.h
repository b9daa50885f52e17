// InstallOutcome: what the controller's answer at start-up tells about
// firmware. The floor (FirmwareFloor) is raised to its version, and the
// last hand-off, when still pending, is settled: installed when the
// controller reports the version handed off, failed otherwise, and held
// once it has failed kMaxInstallAttempts times in a row (HandOffGuard).
//
// Main thread, at start-up, after the handshake and before the workers run.
#ifndef NETWORKPROXY_INSTALLOUTCOME_H_
#define NETWORKPROXY_INSTALLOUTCOME_H_

#include <string>

// Does the above for `controller` (empty: it stayed silent, and a pending
// hand-off stays pending), logging each outcome and putting the figures
// into service_status(). Returns the floor for the firmware checks (empty:
// none). Works in the current folder, the daemon's working folder.
std::string SettleFirmwareAtStart(const std::string& controller);

#endif  // NETWORKPROXY_INSTALLOUTCOME_H_
