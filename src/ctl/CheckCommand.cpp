// networkproxyctl check: every site setting that is set, checked the way
// the daemon will use it, one line each, before the daemon starts.
#include <cstdio>
#include <cstring>
#include <string>

#include "CtlCommands.h"
#include "CtlSupport.h"
#include "SettingChecks.h"

int RunCheck(int argc, char** argv) {
  std::string env_file;
  for (int i = 1; i < argc; ++i) {
    if (IsHelpOption(argv[i])) {
      std::printf("usage: networkproxyctl %s\n"
                  "Checks each setting that is set, from the environment or FILE (the format of\n"
                  "/etc/default/networkproxy): \"ok <NAME>\" or \"<NAME> - <reason>\" per line.\n"
                  "Exit status 0 when all are usable, 78 otherwise.\n",
                  kCheckUsage);
      return kCtlOk;
    }
    if (std::strcmp(argv[i], "--env-file") == 0 && i + 1 < argc) {
      env_file = argv[++i];
    } else if (std::strncmp(argv[i], "--env-file=", 11) == 0) {
      env_file = argv[i] + 11;
    } else {
      return UsageError(std::string("check: unexpected argument: ") + argv[i], kCheckUsage);
    }
  }
  bool usable = true;
  const SiteSettings settings = LoadSiteSettings(env_file, &usable);
  for (const SettingReport& report : CheckSiteSettings(settings)) {
    std::printf("%s\n", SettingLine(report).c_str());
    if (!report.status.ok()) usable = false;
  }
  return usable ? kCtlOk : kCtlConfig;
}
