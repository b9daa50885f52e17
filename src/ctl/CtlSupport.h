// CtlSupport: what the commands of networkproxyctl share: telling a usage
// error, and reading the site's settings the way the unit gives them to the
// daemon. Main thread of the tool only.
#ifndef NETWORKPROXY_CTL_CTLSUPPORT_H_
#define NETWORKPROXY_CTL_CTLSUPPORT_H_

#include <string>

#include "SiteSettings.h"
#include "Status.h"

// True for "--help" and "-h".
bool IsHelpOption(const char* arg);

// Prints "networkproxyctl: <what>" and "usage: networkproxyctl <usage>" on
// standard error; returns the usage exit status.
int UsageError(const std::string& what, const char* usage);

// Where a command finds the site's settings and its folder.
struct SiteSource {
  std::string env_file;  // --env-file; empty: the unit's environment file
  std::string dir;       // --dir; empty: the unit's working directory
};

// Takes "--env-file FILE", "--env-file=FILE", "--dir DIR" or "--dir=DIR" at
// argv[*i], moving *i past a separate value. False when argv[*i] is none of
// them (or its value is missing), leaving *i alone.
bool TakeSiteOption(int argc, char** argv, int* i, SiteSource* source);

// The site as the daemon under its unit would see it.
struct LoadedSite {
  SiteSettings settings;
  EnvironmentValues values;  // every name read, with the value that won
  bool file_ok = true;       // false: the settings file had a problem
};

// Reads the layers the way systemd stacks them for the unit, each over the
// one before: the unit's own Environment= values, this process's
// environment (which, run as the unit's ExecStartPre=, already is the
// unit's), then the settings file (`source.env_file`, else the unit's
// EnvironmentFile=, which may be missing). A file that cannot be read or
// has lines that are not settings prints "<FILE> - <reason>" once per
// problem and clears `file_ok`; what could be read is used all the same.
// Then changes into `source.dir`, else the unit's working directory, so
// that relative paths resolve as they do for the daemon; fails when that
// folder cannot be entered.
Status LoadSite(const SiteSource& source, LoadedSite* site);

// LoadSite for the commands that only need the settings: prints
// "networkproxyctl: <reason>" on failure and returns false.
bool LoadSiteSettings(const SiteSource& source, SiteSettings* settings);

#endif  // NETWORKPROXY_CTL_CTLSUPPORT_H_
