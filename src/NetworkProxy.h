// NetworkProxy: start-up, the version handshake and the worker threads.
//
// Start-up runs on the main thread; afterwards the serial worker owns the
// serial port and the update worker runs the firmware check. The settings
// (Settings.h) are written before the workers start and only read afterwards.
#ifndef NETWORKPROXY_NETWORKPROXY_H_
#define NETWORKPROXY_NETWORKPROXY_H_

#include <string>
#include <thread>
#include <vector>

#include "FirmwareCheck.h"
#include "SerialMonitor.h"
#include "Settings.h"
#include "SpoolSender.h"
#include "StartupInput.h"

class NetworkProxy {
 public:
  // Settles the site identity, prints the banner, opens the port (ending
  // the process with status 1 when it cannot), does the version handshake
  // and starts both workers. Returns with the workers running.
  NetworkProxy();

  // The object lives as long as the process; the workers are never joined.
  virtual ~NetworkProxy();

  NetworkProxy(const NetworkProxy&) = delete;
  NetworkProxy& operator=(const NetworkProxy&) = delete;

  // One firmware update check (see CheckFirmware). Returns when the check is
  // over; on a successful download it starts the update script and ends the
  // process with status 0. Called by the update worker only.
  void FirmwareUpdate();

  // The orderly stop after SIGTERM or SIGINT (`signal`): logs "Stopping
  // (SIGTERM)", tells the service manager, lets a report exchange in flight
  // end (at most kStopGrace), closes the spool and ends the process with
  // status 0. Main thread.
  [[noreturn]] void Stop(int signal);

 private:
  void Handshake();
  void SerialLoop();
  void UpdateLoop();

  SerialMonitor monitor_;
  // Event lines read before the workers ran; the serial worker reports them
  // first. Written by the main thread before the workers start.
  std::vector<std::string> startup_events_;
  std::thread* serial_worker_ = nullptr;
  std::thread* update_worker_ = nullptr;
  // Store and forward, when NETWORKPROXY_SPOOL is set: the serial worker
  // only reads and commits event lines, the sender worker posts them.
  Spool* spool_ = nullptr;
  SpoolSender* sender_ = nullptr;
  std::thread* sender_worker_ = nullptr;
};

#endif  // NETWORKPROXY_NETWORKPROXY_H_
