// SiteCheck: the lines networkproxyctl check prints for a site: a name the
// daemon does not know, then each setting's verdict, where a usable setting
// may carry a warning the site should act on (a credentials file that is
// missing, a secret other users can read) in place of its "ok" line.
// Main thread of the tool; it only looks at files.
#ifndef NETWORKPROXY_CTL_SITECHECK_H_
#define NETWORKPROXY_CTL_SITECHECK_H_

#include <string>
#include <vector>

#include "CtlSupport.h"
#include "SettingChecks.h"

struct CheckLine {
  std::string text;     // "ok <NAME>" or "<NAME> - <reason>"
  bool usable = true;   // false: check exits 78
};

std::vector<CheckLine> CheckSite(const LoadedSite& site);

// The warning for a setting that passed its check, when there is one:
// "missing: the firmware check uses the built-in example key pair" for an
// absent AWS_SHARED_CREDENTIALS_FILE, "readable by other users ..." for a
// credentials or token file with read access for others.
Status SettingWarning(const std::string& name, const SiteSettings& settings);

#endif  // NETWORKPROXY_CTL_SITECHECK_H_
