// SettingNames: the NETWORKPROXY_* names a site may set, and for one that is
// none of them the nearest that is, so that a misspelt setting (which the
// daemon would silently not see) is caught by networkproxyctl check.
//
// Pure functions; any thread.
#ifndef NETWORKPROXY_SETTINGNAMES_H_
#define NETWORKPROXY_SETTINGNAMES_H_

#include <cstddef>
#include <string>
#include <vector>

#include "SettingChecks.h"
#include "SiteSettings.h"

// The settings of kSiteSettingNames and NETWORKPROXY_ARGS (the unit's
// further options for the daemon).
bool IsKnownSettingName(const std::string& name);

// The number of single-character insertions, deletions and substitutions
// that turn `a` into `b`.
std::size_t EditDistance(const std::string& a, const std::string& b);

// The known name at most two edits away from `name` (the first in
// kSiteSettingNames order among the closest); empty when there is none.
std::string NearestSettingName(const std::string& name);

// Every NETWORKPROXY_* name in `values` that is not known, in name order:
// "unknown setting (did you mean <NAME>?)", or "unknown setting" without a
// near name.
std::vector<SettingReport> UnknownSettingNames(const EnvironmentValues& values);

#endif  // NETWORKPROXY_SETTINGNAMES_H_
