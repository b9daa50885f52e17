// networkproxyctl check: every site setting that is set, checked the way
// the daemon will use it, one line each, before the daemon starts.
#include <cstdio>
#include <cstring>
#include <string>

#include "CtlCommands.h"
#include "CtlSupport.h"
#include "PrintableText.h"
#include "SiteCheck.h"

int RunCheck(int argc, char** argv) {
  SiteSource source;
  for (int i = 1; i < argc; ++i) {
    if (IsHelpOption(argv[i])) {
      std::printf("usage: networkproxyctl %s\n"
                  "Checks each setting that is set, read as the unit gives them to the daemon\n"
                  "(or from FILE in the format of /etc/default/networkproxy), with relative paths\n"
                  "from the site's folder (or DIR): \"ok <NAME>\" or \"<NAME> - <reason>\" per\n"
                  "line. Exit status 0 when all are usable (warnings included), 78 otherwise.\n",
                  kCheckUsage);
      return kCtlOk;
    }
    if (!TakeSiteOption(argc, argv, &i, &source)) {
      return UsageError(std::string("check: unexpected argument: ") + argv[i], kCheckUsage);
    }
  }
  LoadedSite site;
  const Status loaded = LoadSite(source, &site);
  if (!loaded.ok()) {
    std::fprintf(stderr, "networkproxyctl: %s\n", PrintableText(loaded.reason()).c_str());
    return kCtlFailed;
  }
  bool usable = site.file_ok;
  for (const CheckLine& line : CheckSite(site)) {
    // A setting's value or a file's contents may end up in the line.
    std::printf("%s\n", PrintableText(line.text).c_str());
    if (!line.usable) usable = false;
  }
  return usable ? kCtlOk : kCtlConfig;
}
