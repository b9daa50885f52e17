// Settings: the daemon's process-wide settings, the compiled-in constants and
// every interval it waits for, in one place that the service and the link
// layer both include.
//
// The settings are zero-filled at program start and written on the main
// thread before the workers start (ParseCommandLine, SettleSiteId, the
// handshake); afterwards every thread only reads them.
#ifndef NETWORKPROXY_SETTINGS_H_
#define NETWORKPROXY_SETTINGS_H_

#include <climits>
#include <chrono>
#include <cstddef>
#include <string>

#include "SiteSettings.h"

// Process-wide settings, NUL-terminated.
// Both paths hold any path the system accepts (PATH_MAX bytes, terminator
// included); a longer option value is refused rather than cut.
extern char usb_serial_port[PATH_MAX];     // serial device path (-p)
extern char firmware_file_path[PATH_MAX];  // where a new image is written (-f)
extern char site_id[32];               // host name, site_id.txt or "Unknown ID"
extern char firmware_version[32];      // controller's version; "" when unknown
extern const char* firmware_filename;  // default image path

// Compiled-in constants of the firmware check.
// The bucket and the key pair are set at build time and defined in one
// source file only. The bucket and region are defaults a site may replace
// (FirmwareBucket(), FirmwareRegion()); the key pair is the fallback when the
// site has no credentials file (Credentials.h).
constexpr const char* kRegion = "ap-southeast-2";
extern const char* const kFirmwareBucket;
extern const char* const kAccessKeyId;
extern const char* const kSecretAccessKey;
constexpr const char* kVersionKey = "update.txt";
constexpr const char* kUpdateScript = "./fw-update.sh";
// Where the sample sudo rule (CWD=) runs the script for a daemon that runs
// as its own user: a root-owned folder that user cannot write.
constexpr const char* kPinnedUpdateScript = "/etc/networkproxy/fw-update.sh";
constexpr const char* kHandOffCommand = "sudo /bin/sh ./fw-update.sh &";

// Intervals.
using std::chrono::milliseconds;
using std::chrono::seconds;
constexpr seconds kPortSettle{5};             // after configuring the port
constexpr seconds kHandshakeDelay{5};         // port configured to first query
constexpr milliseconds kHandshakeReadTimeout{5000};  // per handshake answer
constexpr milliseconds kSerialPause{100};     // after each serial read
constexpr seconds kUpdatePause{60};           // between firmware checks
constexpr seconds kSequencePause{3};          // colour command to sequence command
constexpr seconds kCurlConnectTimeout{10};    // report: curl --connect-timeout
constexpr seconds kCurlMaxTime{30};           // report: curl --max-time, whole exchange
constexpr seconds kMainIdleStep{10};          // main thread's sleep while workers run
constexpr seconds kStopGrace{5};              // SIGTERM: a report exchange may still end

// Store and forward (NETWORKPROXY_SPOOL): waits of the sender worker.
constexpr seconds kSpoolRetryFirst{5};        // after a failed post; doubles each time
constexpr seconds kSpoolRetryMax{300};        // the doubling stops here
constexpr seconds kSpoolReplyWindow{10};      // reading to post: a reply still current
constexpr seconds kSpoolIdleCheck{1};         // sender's look at an empty spool

// Firmware check downloads: the bounds of the two objects and, from them,
// each one's whole deadline (retries included).
// The version file is one short line; the
// image's bound is set at build time (NETWORKPROXY_MAX_IMAGE_BYTES).
constexpr std::size_t kMaxVersionFileBytes = 4 * 1024;
constexpr std::size_t kMaxImageBytes = NETWORKPROXY_MAX_IMAGE_BYTES;
// The slowest link a site is expected to have. Each download's deadline lets
// its largest object through at this rate, plus time to connect and retry.
constexpr std::size_t kSlowLinkBytesPerSecond = 32 * 1024;
constexpr std::chrono::seconds kRequestSetUpTime{30};
constexpr std::chrono::seconds kVersionFileDeadline =
    kRequestSetUpTime + std::chrono::seconds(kMaxVersionFileBytes / kSlowLinkBytesPerSecond);
constexpr std::chrono::seconds kImageDeadline =
    kRequestSetUpTime + std::chrono::seconds(kMaxImageBytes / kSlowLinkBytesPerSecond);

// Reads in a row that end without a line before the device counts as gone:
// an unplugged adapter gives end of file or an error at once, every time.
constexpr int kMaxFailedReads = 10;

// Reads the command line into usb_serial_port and firmware_file_path and
// fills in the defaults. Returns -1 when start-up should go on, otherwise the
// exit status to end with (2 after an invalid option, a missing value or a
// value too long for its setting, already reported on standard output). Main thread, before anything else.
int ParseCommandLine(int argc, char** argv);

// Settles site_id: the host name, else the first word of site_id.txt in
// the working directory (at most 31 characters), else "Unknown ID".
void SettleSiteId();

// The site's settings (SiteSettings.h), read from the environment once, by
// the first call, which main makes before any other thread exists, through
// the same code networkproxyctl check runs. The value lives as long as the
// process and is only read afterwards.
const SiteSettings& StartupSiteSettings();

// Views of StartupSiteSettings() with the compiled-in defaults filled in;
// the texts live as long as the process.
const char* ReportHost();        // NETWORKPROXY_REPORT_HOST, else built in
const char* FirmwareBucket();    // NETWORKPROXY_FIRMWARE_BUCKET, else built in
const char* FirmwareRegion();    // NETWORKPROXY_FIRMWARE_REGION, else kRegion
const char* ReportUrlSetting();  // NETWORKPROXY_REPORT_URL, else nullptr
const char* ReportCaFile();      // NETWORKPROXY_REPORT_CA, else nullptr
const char* ReportTokenFile();   // NETWORKPROXY_REPORT_TOKEN_FILE, else nullptr

// Store and forward, from NETWORKPROXY_SPOOL (the spool file; unset or empty:
// off) and NETWORKPROXY_SPOOL_MAX_EVENTS (the bound; default
// kDefaultSpoolMaxEvents; a value that is not a positive whole number is
// printed and logged and the default used). Main thread, before any worker
// runs.
constexpr std::size_t kDefaultSpoolMaxEvents = 100000;
struct SpoolSettings {
  const char* path = nullptr;  // nullptr: store and forward is off
  std::size_t max_events = kDefaultSpoolMaxEvents;
};
SpoolSettings ReadSpoolSettings(const SiteSettings& settings = StartupSiteSettings());

// Puts NETWORKPROXY_LOG_KEEP_DAYS into the log's retention (LogRetention.h);
// a value that is not a whole number of days (0 or more) is printed and
// logged and every file is kept. Main thread, before the workers start.
void ReadLogKeepDays(const SiteSettings& settings = StartupSiteSettings());

// Exit status of a daemon whose settings cannot work (EX_CONFIG): the unit
// does not restart it.
constexpr int kExitConfiguration = 78;

// Ends the process with `status` once standard output is flushed. Does not
// run static destructors, which other threads may still be using.
[[noreturn]] void EndProcess(int status);

#endif  // NETWORKPROXY_SETTINGS_H_
