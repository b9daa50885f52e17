// CtlSupport: what the commands of networkproxyctl share: telling a usage
// error, and reading the site's settings the way the daemon reads them.
// Main thread of the tool only.
#ifndef NETWORKPROXY_CTL_CTLSUPPORT_H_
#define NETWORKPROXY_CTL_CTLSUPPORT_H_

#include <string>

#include "SiteSettings.h"

// True for "--help" and "-h".
bool IsHelpOption(const char* arg);

// Prints "networkproxyctl: <what>" and "usage: networkproxyctl <usage>" on
// standard error; returns the usage exit status.
int UsageError(const std::string& what, const char* usage);

// The settings from the environment, or with `env_file` (not empty) read
// over it. A file that cannot be read or has lines that are not settings
// prints "<FILE> - <reason>" once per problem and sets `file_ok` false; the
// settings that could be read are returned all the same.
SiteSettings LoadSiteSettings(const std::string& env_file, bool* file_ok);

#endif  // NETWORKPROXY_CTL_CTLSUPPORT_H_
