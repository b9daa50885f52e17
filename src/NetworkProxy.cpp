#include "NetworkProxy.h"

#include <cstdio>
#include <cstring>

#include <curl/curl.h>

#include "LogRetention.h"
#include "ReportAccess.h"
#include "ServiceStatus.h"
#include "SettingsFiles.h"
#include "StopSignal.h"
#include "Watchdog.h"
#ifdef NETWORKPROXY_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "FirmwareSignature.h"

namespace {

constexpr const char* kVersionBanner = "NetworkProxy Version: 1.0.7";

}  // namespace

NetworkProxy::NetworkProxy() {
  // libcurl's global set-up is not thread-safe: do it before any worker.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  ReadLogKeepDays();

  SettleSiteId();
  std::printf("%s\n", kVersionBanner);
  char print_buffer[64] = {0};
  std::snprintf(print_buffer, sizeof print_buffer, "Site ID: %s", site_id);
  std::printf("%s\n", print_buffer);
  std::fflush(stdout);

  if (monitor_.OpenPort(usb_serial_port) == 0) EndProcess(1);

  // The settings were read by main (StartupSiteSettings) before any thread;
  // curl's environment is built from them now, before the workers.
  ReportCurlEnvironment();
  CheckSettingsFiles();
  LoadFirmwarePublicKey();
  const SpoolSettings spool = ReadSpoolSettings();
  if (spool.path != nullptr) {
    spool_ = new Spool(spool.path, spool.max_events);
    sender_ = new SpoolSender(*spool_);
    monitor_.event_sink = [this](const char* payload) { sender_->Accept(payload); };
  }
  Handshake();

  serial_worker_ = new std::thread([this] { SerialLoop(); });
  update_worker_ = new std::thread([this] { UpdateLoop(); });
  if (sender_ != nullptr) sender_worker_ = new std::thread([this] { sender_->Run(); });
#ifdef NETWORKPROXY_HAVE_SYSTEMD
  // Under a service manager, "started" means the port works and both
  // workers run; elsewhere this does nothing.
  sd_notify(0, "READY=1");
#endif
  StartServiceStatus();
}

NetworkProxy::~NetworkProxy() {
  // The workers outlive any attempt to stop them: the object is never
  // destroyed while the process runs.
}

void NetworkProxy::Handshake() {
  // What the controller sends while the port settles is read, not flushed:
  // its events (a boot event after a reflash above all) must not be lost.
  StartupInput input(USB);
  input.Collect(kHandshakeDelay);

  monitor_.Write("v:\r");
  VersionAnswer first = input.AwaitVersion(kHandshakeReadTimeout);
  // Only the second answer counts: the first may be a line the controller
  // was already sending when the query arrived. When the second query
  // brings no line at all, the first answer stands.
  monitor_.Write("v:\r");
  VersionAnswer second = input.AwaitVersion(kHandshakeReadTimeout);
  startup_events_ = input.TakeEvents();

  switch (ParseVersionAnswer(second.any_line ? second : first, firmware_version)) {
    case VersionParse::kNone:
      return;
    case VersionParse::kTooLong:
      // A cut version never matches the published one: better unknown.
      monitor_.Logger("Error: Version answer too long");
      return;
    case VersionParse::kVersion:
      break;
  }
  char print_buffer[64] = {0};
  std::snprintf(print_buffer, sizeof print_buffer, "Firmware Version: %s", firmware_version);
  std::printf("%s\n", print_buffer);
  std::fflush(stdout);
}

void NetworkProxy::SerialLoop() {
  // Events that came during start-up were logged then; they are reported
  // before any line read now, in the order they came.
  for (const std::string& event : startup_events_) monitor_.DispatchEvent(event.c_str() + 2);
  startup_events_.clear();
  int failed_reads = 0;
  for (;;) {
    const bool line = monitor_.SerialMonitorThread();
    if (line) {
      failed_reads = 0;
    } else if (++failed_reads >= kMaxFailedReads) {
      // Exit like a port that fails at start-up, so the service manager
      // restarts the daemon once the device is back.
      monitor_.Logger("Serial device lost");
      EndProcess(1);
    }
    // With the spool, a burst is read at the wire's rate; the pause only
    // keeps a dead port from spinning.
    if (sender_ == nullptr || !line) std::this_thread::sleep_for(kSerialPause);
  }
}

void NetworkProxy::UpdateLoop() {
  for (;;) {
    update_progress.Begin(kFirmwareCheckBound);
    FirmwareUpdate();
    update_progress.End();
    service_status().CheckEnded(std::time(nullptr));
    std::this_thread::sleep_for(kUpdatePause);
  }
}

void NetworkProxy::FirmwareUpdate() { CheckFirmware(); }

void NetworkProxy::Stop(int signal) {
  LogFormat("Stopping (%s)", StopSignalName(signal));
#ifdef NETWORKPROXY_HAVE_SYSTEMD
  sd_notify(0, "STOPPING=1");
#endif
  // A post under way finishes, and its reply reaches the controller; one
  // that takes longer is cut off like any other at exit (with the spool on,
  // its event is still there and goes again under the same key).
  AwaitReportsIdle(kStopGrace);
  // Closing the last connection folds the WAL back into the spool file.
  if (spool_ != nullptr) spool_->Close();
  EndProcess(0);
}
