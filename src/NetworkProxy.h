// NetworkProxy: start-up, the version handshake and the worker threads.
//
// Start-up runs on the main thread; afterwards the serial worker reads the
// serial link, whoever acts on a reply writes to it under its command lock
// (SerialLink.h), and the update worker runs the firmware check. The
// configuration (Settings.h) is kept by value and only read by the workers.
#ifndef NETWORKPROXY_NETWORKPROXY_H_
#define NETWORKPROXY_NETWORKPROXY_H_

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FirmwareCheck.h"
#include "SerialLink.h"
#include "SerialWorker.h"
#include "Settings.h"
#include "SpoolSender.h"
#include "StartupInput.h"

class NetworkProxy {
 public:
  explicit NetworkProxy(const DaemonSettings& settings);

  // Prints the banner, opens the port (its failure is reported and
  // returned: the daemon then ends with status 1), does the version
  // handshake and starts the workers. Returns with the workers running. A
  // worker that ends the daemon (the device is gone: 1; the update script
  // has taken over: 0) asks the main thread to (RequestExit, StopSignal.h).
  // Main thread, once.
  Status Start();

  // The object lives as long as the process; the workers are never joined.
  virtual ~NetworkProxy();

  NetworkProxy(const NetworkProxy&) = delete;
  NetworkProxy& operator=(const NetworkProxy&) = delete;

  // The orderly stop after SIGTERM or SIGINT (`signal`): logs "Stopping
  // (SIGTERM)", tells the service manager, lets a report exchange in flight
  // end (at most kStopGrace) and closes the spool; the daemon then ends with
  // status 0. Main thread.
  void Stop(int signal);

 private:
  void Handshake();
  void UpdateLoop();

  const DaemonSettings settings_;
  // The site's signing key, when one is configured (loaded or not).
  std::optional<FirmwarePublicKey> firmware_key_;
  // The firmware check's connection, kept from one check to the next.
  // Update worker only.
  S3Handle firmware_connection_;
  // The controller's version from the handshake; empty when unknown.
  std::string controller_version_;
  // The newest release the controller has reported (FirmwareFloor); empty:
  // none. Set at start-up, before the update worker runs.
  std::string firmware_floor_;
  // The port: opened at start-up, then read by the serial worker and
  // written by whoever acts on a reply.
  SerialLink link_;
  SerialWorker* reader_ = nullptr;
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
