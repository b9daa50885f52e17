// SettingChecks: whether each site setting can work, with the reason when
// it cannot, before the daemon relies on it. networkproxyctl check prints
// every report; the daemon refuses to start on the two fatal ones.
//
// The checks only look: they open files read-only (the spool too, and the
// serial device without taking it), print no secret and change nothing.
// Any thread may call them; they read the file system as it is now.
#ifndef NETWORKPROXY_SETTINGCHECKS_H_
#define NETWORKPROXY_SETTINGCHECKS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "SiteSettings.h"
#include "Status.h"

// One setting's verdict.
struct SettingReport {
  std::string name;  // the variable, e.g. "NETWORKPROXY_REPORT_URL"
  Status status;
};

// "ok <NAME>" or "<NAME> - <reason>".
std::string SettingLine(const SettingReport& report);

// A verdict for every setting that is set, in kSiteSettingNames order.
std::vector<SettingReport> CheckSiteSettings(const SiteSettings& settings);

// The mistakes the daemon must not start with, each as check reports it:
// a report URL that is not http(s)://host..., and a token file with an
// http:// report URL (the token would cross the network in clear). Empty
// when there are none.
std::vector<SettingReport> FatalSettingProblems(const SiteSettings& settings);

// Start-up: prints and logs each of FatalSettingProblems' lines. True when
// there was one, and the daemon must end with status 78.
bool RefuseFatalSettings(const SiteSettings& settings);

// The single checks, for the table above and the tests.
Status CheckUrl(const std::string& url);               // http(s)://host[:port]...
Status CheckReportHost(const std::string& host);       // host or host:port
Status CheckTokenFile(const std::string& path);        // one non-empty line
Status CheckTokenTransport(const std::string& report_url);  // not over http://
Status CheckCaFile(const std::string& path);           // PEM certificates
// Both keys in the profile; the reason never holds a key.
Status CheckCredentials(const std::string& path, const std::string& profile);
Status CheckBucketName(const std::string& bucket);
Status CheckRegionName(const std::string& region);
Status CheckPublicKeyFile(const std::string& path);   // an Ed25519 public key in PEM
Status CheckSpoolFile(const std::string& path);       // folder writable, file sound
Status CheckWritableFolderOf(const std::string& path);
Status CheckSerialDevice(const std::string& path);


#endif  // NETWORKPROXY_SETTINGCHECKS_H_
