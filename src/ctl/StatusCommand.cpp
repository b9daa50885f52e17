// networkproxyctl status: the daemon's state from its metrics file (and
// the spool), without asking or disturbing the daemon; the same whether it
// runs or not.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "CtlCommands.h"
#include "CtlSupport.h"
#include "PrintableText.h"
#include "SiteState.h"
#include "SmallFile.h"
#include "Spool.h"

namespace {

// A metrics file is a few dozen lines.
constexpr std::size_t kMaxMetricsFileSize = 1024 * 1024;

}  // namespace

int RunStatus(int argc, char** argv) {
  SiteSource source;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (IsHelpOption(argv[i])) {
      std::printf("usage: networkproxyctl %s\n"
                  "Shows the controller's firmware version, the last firmware check, the events\n"
                  "delivered, rejected, dropped and waiting, dead letters, the last delivery and\n"
                  "the last firmware hand-off with its result, from NETWORKPROXY_METRICS_FILE, the\n"
                  "spool and the site's folder, the settings read as for check.\n",
                  kStatusUsage);
      return kCtlOk;
    }
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (!TakeSiteOption(argc, argv, &i, &source)) {
      return UsageError(std::string("status: unexpected argument: ") + argv[i], kStatusUsage);
    }
  }
  SiteSettings settings;
  if (!LoadSiteSettings(source, &settings)) return kCtlFailed;
  if (settings.metrics_file.empty()) {
    std::printf("NETWORKPROXY_METRICS_FILE - not set: the daemon keeps no figures to show\n");
    return kCtlConfig;
  }
  std::string text;
  const int error = ReadSmallFile(settings.metrics_file.c_str(), kMaxMetricsFileSize, text);
  if (error != 0) {
    std::fprintf(stderr, "networkproxyctl: cannot read %s: %s\n",
                 PrintableText(settings.metrics_file).c_str(), std::strerror(error));
    return kCtlFailed;
  }
  SiteState state;
  const Status read = ReadMetricsText(text, &state);
  if (!read.ok()) {
    std::fprintf(stderr, "networkproxyctl: %s: %s\n", PrintableText(settings.metrics_file).c_str(),
                 PrintableText(read.reason()).c_str());
    return kCtlFailed;
  }
  // The spool's own figures are current even when the daemon is not. A
  // spool that cannot be read (busy, not a spool file) leaves the daemon's.
  if (!settings.spool.empty()) {
    std::unique_ptr<SpoolFile> spool;
    SpoolCounts counts;
    if (SpoolFile::Open(settings.spool, SpoolAccess::kReadOnly, &spool).ok() &&
        spool->Counts(&counts).ok()) {
      state.waiting = counts.waiting;
      state.dead_letters = counts.dead;
      state.oldest_waiting = static_cast<std::time_t>(counts.oldest_waiting_ms / 1000);
    }
  }
  ReadLastHandOff(&state);
  const std::time_t now = std::time(nullptr);
  std::fputs(json ? SiteStateJson(state, now).c_str() : SiteStateText(state, now).c_str(), stdout);
  return kCtlOk;
}
