// ReportAccess: what a site's report settings add to the curl run that
// posts an event: the environment curl gets, the transport options (allowed
// protocols, a private CA) and the bearer token, handed to curl as a header
// file on a descriptor so that it never shows in an argument list, an
// environment or the log.
//
// Any thread may call these functions; a ReportTarget is a plain value,
// built at start-up and only read afterwards.
#ifndef NETWORKPROXY_REPORTACCESS_H_
#define NETWORKPROXY_REPORTACCESS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "SiteSettings.h"
#include "Status.h"

// Where and how events are reported: the part of the configuration the
// report path gets.
struct ReportTarget {
  std::string url;              // NETWORKPROXY_REPORT_URL, else http://<host>/ping.json
  bool url_configured = false;  // NETWORKPROXY_REPORT_URL was set
  std::string ca_file;          // NETWORKPROXY_REPORT_CA; empty: the system's
  std::string token_file;       // NETWORKPROXY_REPORT_TOKEN_FILE; empty: none
  std::string site_id;          // replaces the controller's "mac"
  // curl's whole environment, "NAME=value": PATH and the proxy variables
  // curl honours, as the daemon found them at start-up. Never the cloud
  // credentials or anything else of the daemon's.
  std::vector<std::string> curl_environment;
};

// The report target of `settings`, reporting for `site_id`.
ReportTarget ReportTargetFrom(const SiteSettings& settings, const std::string& site_id);

// The CA bundle to hand to curl or libcurl for `ca_file`
// (NETWORKPROXY_REPORT_CA): the file itself, or an empty bundle ("/dev/null") when it exists and is not a
// regular file (logged once): either would block for good opening a FIFO,
// while an empty bundle fails the post at once (curl exit status 77) and
// nothing goes without the site's CA. Looked at anew on each call, never
// opened.
std::string UsableCaFile(const std::string& ca_file);

// Options the target adds to curl's command line: the allowed protocols
// when the URL was configured, and "--cacert <file>" when a CA is (an empty
// bundle when that is not a regular file, so curl fails at once). Empty
// when neither is set.
std::vector<std::string> ReportTransportArguments(const ReportTarget& target);

// The proxy for the target's URL from its curl environment, chosen as the
// curl tool chooses: https_proxy (else HTTPS_PROXY) for an https URL,
// http_proxy for an http one, else all_proxy (else ALL_PROXY). Empty when
// none applies.
std::string ReportProxyFor(const ReportTarget& target);

// no_proxy (else NO_PROXY) of the target's curl environment; empty when unset.
std::string ReportNoProxy(const ReportTarget& target);

// A token is one short line; a bigger file is not a token file.
constexpr std::size_t kMaxTokenFileSize = 16 * 1024;

// Reads the token, the first line of `token_file` without its line end,
// into `token` (wipe it with WipeString after use). A failure carries the
// system's text for it ("No data available" for an empty token, "Invalid
// argument" for a FIFO or device, which is never waited on). Logs once when
// the file is not a regular file or other users can read it
// (SettingsFiles.h). The one token reader, for either transport.
Status ReadReportToken(const char* token_file, std::string& token);

// A header file holding "Authorization: Bearer <token>" for curl's
// "-H @file", kept in memory only (memfd) and passed to curl as a
// descriptor.
class BearerHeader {
 public:
  BearerHeader() = default;
  BearerHeader(const BearerHeader&) = delete;
  BearerHeader& operator=(const BearerHeader&) = delete;
  ~BearerHeader();

  // Fills the header file with `token` (read with ReadReportToken); a
  // failure is returned with the system's text.
  Status Fill(const std::string& token);

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// The argument after "-H" that makes curl read its header from the
// descriptor a BearerHeader is passed on as (ChildProcess.h).
extern const char* const kBearerHeaderArgument;

#endif  // NETWORKPROXY_REPORTACCESS_H_
