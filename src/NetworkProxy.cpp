#include "NetworkProxy.h"

#include <cstdio>
#include <cstring>

#include <curl/curl.h>

#include "EventLog.h"
#include "InstallOutcome.h"
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

NetworkProxy::NetworkProxy(const DaemonSettings& settings) : settings_(settings) {}

Status NetworkProxy::Start() {
  // libcurl's global set-up is not thread-safe: do it before any worker.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  ApplyLogKeepDays(settings_);

  std::printf("%s\n", kVersionBanner);
  char print_buffer[64] = {0};
  std::snprintf(print_buffer, sizeof print_buffer, "Site ID: %s", settings_.site_id.c_str());
  std::printf("%s\n", print_buffer);
  std::fflush(stdout);

  // Open reports its own failure, in the words sites know.
  const Status opened = link_.Open(settings_.port);
  if (!opened.ok()) return opened;

  CheckSettingsFiles(settings_.site);
  // A key that cannot be loaded is kept as a problem to report at every
  // check: it never turns into "no key".
  if (!settings_.firmware.public_key_file.empty()) {
    firmware_key_ = FirmwarePublicKey::FromFile(settings_.firmware.public_key_file);
  }
  SerialWorker::EventSink sink;
  const SpoolSettings& spool = settings_.spool;
  if (!spool.path.empty()) {
    ReportSpoolBound(settings_);
    spool_ = new Spool(spool.path.c_str(), spool.max_events);
    sender_ = new SpoolSender(*spool_, settings_.report, link_);
    sink = [this](const std::vector<LineEvent>& events) { sender_->Accept(events); };
  }
  reader_ = new SerialWorker(link_, settings_.report, sink);
  Handshake();
  firmware_floor_ = SettleFirmwareAtStart(controller_version_);

  serial_worker_ = new std::thread([this] {
    reader_->Run(startup_events_);
    // Exit like a port that fails at start-up, so the service manager
    // restarts the daemon once the device is back.
    RequestExit(1);
  });
  update_worker_ = new std::thread([this] { UpdateLoop(); });
  if (sender_ != nullptr) sender_worker_ = new std::thread([this] { sender_->Run(); });
#ifdef NETWORKPROXY_HAVE_SYSTEMD
  // Under a service manager, "started" means the port works and both
  // workers run; elsewhere this does nothing.
  sd_notify(0, "READY=1");
#endif
  StartServiceStatus(settings_.metrics_file, controller_version_);
  return Status::Ok();
}

NetworkProxy::~NetworkProxy() {
  // The workers outlive any attempt to stop them: the object is never
  // destroyed while the process runs.
}

void NetworkProxy::Handshake() {
  // What the controller sends while the port settles is read, not flushed:
  // its events (a boot event after a reflash above all) must not be lost.
  StartupInput input(link_.fd());
  input.Collect(kHandshakeDelay);

  link_.Write("v:\r");
  VersionAnswer first = input.AwaitVersion(kHandshakeReadTimeout);
  // Only the second answer counts: the first may be a line the controller
  // was already sending when the query arrived. When the second query
  // brings no line at all, the first answer stands.
  link_.Write("v:\r");
  VersionAnswer second = input.AwaitVersion(kHandshakeReadTimeout);
  startup_events_ = input.TakeEvents();

  char version[32] = {0};
  switch (ParseVersionAnswer(second.any_line ? second : first, version)) {
    case VersionParse::kNone:
      return;
    case VersionParse::kTooLong:
      // A cut version never matches the published one: better unknown.
      LogLine("Error: Version answer too long");
      return;
    case VersionParse::kVersion:
      break;
  }
  controller_version_ = version;
  char print_buffer[64] = {0};
  std::snprintf(print_buffer, sizeof print_buffer, "Firmware Version: %s", version);
  std::printf("%s\n", print_buffer);
  std::fflush(stdout);
}

void NetworkProxy::UpdateLoop() {
  for (;;) {
    update_progress.Begin(kFirmwareCheckBound);
    const FirmwareDecision decision = CheckFirmware(
        settings_.firmware, firmware_key_ ? &*firmware_key_ : nullptr, controller_version_,
        firmware_floor_, firmware_connection_);
    if (decision.hand_off) {
      // The script takes over from here; whatever became of starting it,
      // the daemon ends as it always has. The script's flasher needs the
      // port: it is no longer this daemon's alone.
      link_.EndExclusiveUse();
      StartUpdateScript(decision.credentials);
      RequestExit(0);
    }
    update_progress.End();
    service_status().CheckEnded(std::time(nullptr));
    std::this_thread::sleep_for(kUpdatePause);
  }
}

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
  ReleasePort();
}

void NetworkProxy::ReleasePort() { link_.EndExclusiveUse(); }
