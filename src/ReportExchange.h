// ReportExchange: posting an event object to the reporting server with curl
// and turning the server's reply into device commands.
//
// Threads: the thread that owns the serial port (the serial worker, or the
// main thread during start-up), since replies are written to the port.
#ifndef NETWORKPROXY_REPORTEXCHANGE_H_
#define NETWORKPROXY_REPORTEXCHANGE_H_

#include <cstddef>
#include <string>
#include <vector>

// Pause between the colour and the sequence command of one reply, in
// seconds; kSequencePause unless a harness that drives ActOnReplyLine at full
// speed (fuzzing) sets it to 0 before any worker runs.
extern unsigned sequence_pause_seconds;

// Capacity of the reply line a post keeps, terminator included.
constexpr std::size_t kReplyLineSize = 1024;

// How one post ran.
struct PostResult {
  bool started = false;   // false: curl could not be started (`error`)
  int error = 0;          // errno value when !started
  int exit_status = -1;   // curl's exit status; -1 when it did not exit
  long http_status = 0;   // the server's HTTP status; 0 when none came
  char reply_line[kReplyLineSize] = {0};  // last line of the reply body
};

// Posts `event_object` (NUL-terminated) to `url` with curl, with the JSON
// content type and each of `extra_headers` ("Name: value") as a request
// header, and waits for curl to end. `header_file_fd`, when not -1, is a
// file of further header lines that curl reads through a descriptor (see
// BearerHeader in ReportAccess.h). curl runs with ReportCurlEnvironment() as
// its whole environment and the site's ReportTransportArguments(). Logs
// nothing and acts on nothing: the caller decides what the result means.
PostResult PostEvent(const std::string& url, const char* event_object,
                     const std::vector<std::string>& extra_headers, int header_file_fd = -1);

// The URL events are posted to: NETWORKPROXY_REPORT_URL when set, else
// http://<ReportHost()>/ping.json.
std::string ReportUrl();

// Writes the event object of `payload` into `output` (capacity `capacity`),
// cut to capacity - 1 bytes and terminated, and logs it. With capacity 0
// nothing is written or logged.
void EncodeEvent(const char* payload, char* output, unsigned long capacity);

// Posts the event object of `payload` to http://<ReportHost()>/ping.json with
// curl and, when the reply's last line mentions "colour" or "cards", acts on
// it, whatever the HTTP status. Returns 0 when curl exited with status 0 and
// the server answered below 400, -1 otherwise (logged as "Error: Report
// failed - ...").
int ReportEvent(const char* payload);

// Acts on one reply line: logs it, parses it and sends the tags, colour and
// (sequence_pause_seconds later) sequence commands. Never throws.
void ActOnReplyLine(const char* reply_line);

#endif  // NETWORKPROXY_REPORTEXCHANGE_H_
