// networkproxyctl firmware: where the site stands with controller firmware
// (the controller's version, the floor, the last hand-off and its result,
// the held version), and `retry`, which ends a hold. Both work while the
// daemon runs: the daemon reads its firmware files at each check. Run as
// root in a folder the service user writes, no link is followed and only
// regular files are read or removed.
#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "CtlCommands.h"
#include "CtlSupport.h"
#include "EventStamp.h"
#include "FirmwareFloor.h"
#include "HandOffGuard.h"
#include "PrintableText.h"
#include "SiteState.h"
#include "SmallFile.h"

namespace {

// A metrics file is a few dozen lines.
constexpr std::size_t kMaxMetricsFileSize = 1024 * 1024;

struct FirmwareView {
  SiteState state;     // the controller's version and the last hand-off
  std::string floor;   // empty: none
  std::string floor_problem;
  std::string held;    // empty: none
};

// The controller's version as the daemon last wrote it; empty when the site
// keeps no metrics file or it cannot be read.
std::string ControllerVersion(const SiteSettings& settings) {
  std::string text;
  SiteState state;
  if (settings.metrics_file.empty() ||
      ReadSmallFile(settings.metrics_file.c_str(), kMaxMetricsFileSize, text) != 0 ||
      !ReadMetricsText(text, &state).ok()) {
    return std::string();
  }
  return state.firmware_version;
}

Json::Value TextOrNull(const std::string& text) {
  return text.empty() ? Json::Value(Json::nullValue) : Json::Value(PrintableText(text));
}

std::string JsonText(const FirmwareView& view) {
  const SiteState& s = view.state;
  Json::Value root(Json::objectValue);
  root["controller_version"] = TextOrNull(s.firmware_version);
  root["floor"] = TextOrNull(view.floor);
  // As status --json writes it.
  Json::Value handoff(Json::nullValue);
  if (!s.handoff_version.empty()) {
    handoff["version"] = PrintableText(s.handoff_version);
    handoff["time"] = Rfc3339Utc(static_cast<std::int64_t>(s.handoff_time) * 1000);
    handoff["result"] = s.handoff_result;
  }
  root["last_handoff"] = handoff;
  root["held"] = TextOrNull(view.held);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  return Json::writeString(writer, root) + "\n";
}

std::string Text(const FirmwareView& view) {
  const SiteState& s = view.state;
  std::string out = "controller firmware: " +
                    (s.firmware_version.empty() ? "unknown" : PrintableText(s.firmware_version)) + "\n";
  out += "floor: " + (!view.floor.empty()          ? view.floor
                      : !view.floor_problem.empty() ? "none (" + view.floor_problem + ")"
                                                    : std::string("none")) + "\n";
  out += "last hand-off: " + LastHandOffText(s) + "\n";
  out += "held: " + (view.held.empty() ? std::string("none")
                                       : PrintableText(view.held) +
                                             " - publish a newer version or run networkproxyctl firmware retry") +
         "\n";
  return out;
}

int Retry() {
  const std::string held = ReadHeldVersion(kHeldVersionFile);
  const Status ended = EndHold(kHeldVersionFile);
  if (!ended.ok()) {
    std::printf("%s - %s\n", kHeldVersionFile, ended.reason().c_str());
    return kCtlFailed;
  }
  if (held.empty()) {
    std::printf("no firmware version is held\n");
  } else {
    std::printf("Firmware %s no longer held: the next check may hand it off again\n",
                PrintableText(held).c_str());
  }
  return kCtlOk;
}

}  // namespace

int RunFirmware(int argc, char** argv) {
  SiteSource source;
  bool json = false;
  bool retry = false;
  for (int i = 1; i < argc; ++i) {
    if (IsHelpOption(argv[i])) {
      std::printf("usage: networkproxyctl %s\n"
                  "Shows the controller's firmware version, the floor (the newest release it has\n"
                  "run), the last hand-off with its result (installed, failed or pending) and the\n"
                  "version held after failed installs. retry ends the hold: the next check may\n"
                  "hand that version off again. The settings and folder read as for check.\n",
                  kFirmwareUsage);
      return kCtlOk;
    }
    if (std::strcmp(argv[i], "--json") == 0 && !retry) {
      json = true;
    } else if (std::strcmp(argv[i], "retry") == 0 && i == 1) {
      retry = true;
    } else if (!TakeSiteOption(argc, argv, &i, &source)) {
      return UsageError(std::string("firmware: unexpected argument: ") + argv[i], kFirmwareUsage);
    }
  }
  SiteSettings settings;
  if (!LoadSiteSettings(source, &settings)) return kCtlFailed;
  if (retry) return Retry();
  FirmwareView view;
  view.state.firmware_version = ControllerVersion(settings);
  ReadLastHandOff(&view.state);
  const FloorReading floor = ReadFirmwareFloor(kFirmwareFloorFile);
  view.floor = floor.version;
  view.floor_problem = floor.problem.reason();
  view.held = ReadHeldVersion(kHeldVersionFile);
  std::fputs(json ? JsonText(view).c_str() : Text(view).c_str(), stdout);
  return kCtlOk;
}
