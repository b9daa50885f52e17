// Settings: the daemon's configuration as one value, built by main from the
// command line and the site's settings (SiteSettings.h) before any thread
// starts, and handed out in parts: the report target to whoever posts, the
// firmware source to the update worker, the spool's settings to the spool
// and the port's path to the serial link. Nothing here is global: each
// worker gets its part as a value and only reads it.
#ifndef NETWORKPROXY_SETTINGS_H_
#define NETWORKPROXY_SETTINGS_H_

#include <string>

#include "FirmwareCheck.h"
#include "ReportAccess.h"
#include "SiteSettings.h"
#include "SpoolSender.h"
#include "Status.h"

// What the command line gives: the serial device (-p) and where a new image
// is written (-f), defaults filled in.
struct CommandLine {
  std::string port;
  std::string image_path;
};

// Reads the command line into `out`. Returns -1 when start-up should go on,
// otherwise the exit status to end with (2 after an invalid option, a missing
// value or a value longer than PATH_MAX - 1 bytes, already reported on
// standard output).
int ParseCommandLine(int argc, char** argv, CommandLine* out);

// The site's identity: the host name, else the first word of site_id.txt in
// the working directory (at most 31 characters), else "Unknown ID".
std::string SettleSiteId();

struct DaemonSettings {
  SiteSettings site;         // as read, for the checks that name settings
  std::string port;          // the serial device
  std::string site_id;
  ReportTarget report;
  FirmwareSource firmware;
  SpoolSettings spool;
  std::string metrics_file;  // NETWORKPROXY_METRICS_FILE; empty: none
  // NETWORKPROXY_LOG_KEEP_DAYS: kKeepAllLogs when unset or unusable
  // (`log_keep_days_status` then says why, for start-up to report).
  int log_keep_days;
  Status log_keep_days_status;
};

// The configuration from the command line and the site's settings, with
// the compiled-in defaults filled in. Reads the host name (SettleSiteId);
// logs nothing: a value it cannot use is kept as a Status for start-up to
// report where it always has.
DaemonSettings BuildDaemonSettings(const CommandLine& command_line, const SiteSettings& site);

// Start-up, main thread, before the workers: puts the log retention of
// `settings` into the log (LogRetention.h); an unusable value is printed and
// logged ("Error: NETWORKPROXY_LOG_KEEP_DAYS is not a number of days: ...")
// and every file kept.
void ApplyLogKeepDays(const DaemonSettings& settings);

// Start-up, with the spool on: prints and logs an unusable
// NETWORKPROXY_SPOOL_MAX_EVENTS ("Error: ...; the spool keeps at most <n>
// events"). Nothing when the value was usable or unset.
void ReportSpoolBound(const DaemonSettings& settings);

// Exit status of a daemon whose settings cannot work (EX_CONFIG): the unit
// does not restart it.
constexpr int kExitConfiguration = 78;

// Ends the process with `status` once standard output is flushed. Does not
// run static destructors, which other threads may still be using.
[[noreturn]] void EndProcess(int status);

#endif  // NETWORKPROXY_SETTINGS_H_
