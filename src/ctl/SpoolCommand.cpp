// networkproxyctl spool: the operator's hands on the spool file while the
// daemon runs or not: list what waits (or what was set aside as dead
// letters), send the dead letters again, or drop them. SQLite's locking
// keeps this process and the daemon apart; only dead letters are changed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CtlCommands.h"
#include "CtlSupport.h"
#include "EventStamp.h"
#include "PrintableText.h"
#include "SettingChecks.h"
#include "Spool.h"

namespace {

void PrintHelp() {
  std::printf("usage: networkproxyctl %s\n"
              "  list [--dead] [--limit N]  waiting events (or dead letters), oldest first:\n"
              "                             reading time, key, payload\n"
              "  resend-dead                every dead letter back to waiting, in its order\n"
              "  purge-dead                 removes every dead letter\n"
              "The spool is NETWORKPROXY_SPOOL, the settings read as for check.\n",
              kSpoolUsage);
}

// "<spool> - <reason>": the tool's way of naming what is wrong with a file.
int Failed(const SiteSettings& settings, const Status& status) {
  std::printf("%s\n", PrintableText(settings.spool + " - " + status.reason()).c_str());
  return kCtlFailed;
}

// Opens the site's spool; prints why not and returns the exit status when
// it cannot be had, else -1.
int OpenSpool(const SiteSettings& settings, SpoolAccess access, std::unique_ptr<SpoolFile>* file) {
  if (settings.spool.empty()) {
    std::printf("NETWORKPROXY_SPOOL - not set: this site keeps no spool\n");
    return kCtlConfig;
  }
  const Status opened = SpoolFile::Open(settings.spool, access, file);
  if (!opened.ok()) return Failed(settings, opened);
  return -1;
}

}  // namespace

int RunSpool(int argc, char** argv) {
  std::string action;
  SiteSource source;
  bool dead = false;
  std::size_t limit = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (IsHelpOption(argv[i])) {
      PrintHelp();
      return kCtlOk;
    }
    if (TakeSiteOption(argc, argv, &i, &source)) {
      continue;
    } else if (arg == "--dead") {
      dead = true;
    } else if (arg == "--limit" && i + 1 < argc) {
      const SpoolBound parsed = ParseSpoolMaxEvents(argv[++i]);
      if (!parsed.status.ok()) return UsageError("spool: --limit: " + parsed.status.reason(), kSpoolUsage);
      limit = parsed.events;
    } else if (action.empty() && (arg == "list" || arg == "resend-dead" || arg == "purge-dead")) {
      action = arg;
    } else {
      return UsageError("spool: unexpected argument: " + arg, kSpoolUsage);
    }
  }
  if (action.empty()) return UsageError("spool: list, resend-dead or purge-dead?", kSpoolUsage);
  if (action != "list" && (dead || limit != 0)) {
    return UsageError("spool: --dead and --limit go with list only", kSpoolUsage);
  }
  SiteSettings settings;
  if (!LoadSiteSettings(source, &settings)) return kCtlFailed;
  std::unique_ptr<SpoolFile> file;
  const int status =
      OpenSpool(settings, action == "list" ? SpoolAccess::kReadOnly : SpoolAccess::kReadWrite, &file);
  if (status >= 0) return status;

  if (action == "list") {
    std::vector<SpooledEvent> events;
    const Status listed = file->List(dead ? SpoolList::kDead : SpoolList::kWaiting, limit, &events);
    if (!listed.ok()) return Failed(settings, listed);
    for (const SpooledEvent& event : events) {
      // The key and payload are whatever the file holds: shown, not acted on.
      const std::string line =
          Rfc3339Utc(event.received_ms) + " " + event.key + " " + event.payload;
      std::printf("%s\n", PrintableText(line).c_str());
    }
    return kCtlOk;
  }
  std::size_t changed = 0;
  const bool resend = action == "resend-dead";
  const Status done = resend ? file->ResendDead(&changed) : file->PurgeDead(&changed);
  if (!done.ok()) return Failed(settings, done);
  std::printf("%zu dead letter%s %s\n", changed, changed == 1 ? "" : "s",
              resend ? "back to waiting" : "removed");
  return kCtlOk;
}
