// Intervals: every interval the daemon waits for and the firmware
// downloads' bounds and deadlines, in one place that the service, the link
// layer and the watchdog include.
#ifndef NETWORKPROXY_INTERVALS_H_
#define NETWORKPROXY_INTERVALS_H_

#include <chrono>
#include <cstddef>

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

#endif  // NETWORKPROXY_INTERVALS_H_
