// ReportAccess: what a site's report settings add to the curl run that
// posts an event: the environment curl gets, the transport options (allowed
// protocols, a private CA) and the bearer token, handed to curl as a header
// file on a descriptor so that it never shows in an argument list, an
// environment or the log.
//
// Any thread may call these functions; the first call of
// ReportCurlEnvironment() belongs to start-up, before the workers run.
#ifndef NETWORKPROXY_REPORTACCESS_H_
#define NETWORKPROXY_REPORTACCESS_H_

#include <string>
#include <vector>

// curl's whole environment for reports, ending in nullptr: PATH and the
// proxy variables curl honours, as the daemon found them at start-up. Never
// the cloud credentials or anything else of the daemon's.
const char* const* ReportCurlEnvironment();

// Options the site's settings add to curl's command line: the allowed
// protocols when NETWORKPROXY_REPORT_URL is set, and "--cacert <file>" when
// NETWORKPROXY_REPORT_CA is (an empty bundle when that is not a regular
// file, so curl fails at once). Empty when neither is set.
std::vector<std::string> ReportTransportArguments();

// The proxy for `url` from the proxy variables as the daemon found them at
// start-up, chosen as the curl tool chooses: https_proxy (else HTTPS_PROXY)
// for an https URL, http_proxy for an http one, else all_proxy (else
// ALL_PROXY). Empty when none applies.
std::string ReportProxyFor(const std::string& url);

// no_proxy (else NO_PROXY) as found at start-up; empty when unset.
std::string ReportNoProxy();

// Reads the token, the first line of `token_file` without its line end,
// into `token` (wipe it with WipeString after use). Returns 0, or an errno
// value (ENODATA for an empty token).
int ReadReportToken(const char* token_file, std::string& token);

// A header file holding "Authorization: Bearer <token>" for curl's
// "-H @file", kept in memory only (memfd) and passed to curl as a
// descriptor. The token is the first line of the token file, read at each
// Open so a new token takes effect at the next event.
class BearerHeader {
 public:
  BearerHeader() = default;
  BearerHeader(const BearerHeader&) = delete;
  BearerHeader& operator=(const BearerHeader&) = delete;
  ~BearerHeader();

  // Reads the token from `token_file` and fills the header file. Returns
  // false with `error()` (an errno value, ENODATA for an empty token,
  // kNotRegularFile for a FIFO or device, which is never waited on) when
  // either fails. Logs once when the file is not a regular file or other
  // users can read it (SettingsFiles.h).
  bool Open(const char* token_file);

  int fd() const { return fd_; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// The argument after "-H" that makes curl read its header from the
// descriptor a BearerHeader is passed on as (ChildProcess.h).
extern const char* const kBearerHeaderArgument;

#endif  // NETWORKPROXY_REPORTACCESS_H_
