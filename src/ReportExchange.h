// ReportExchange: posting an event object to the reporting server with curl
// and turning the server's reply into device commands.
//
// Threads: the thread that owns the serial port (the serial worker, or the
// main thread during start-up), since replies are written to the port.
#ifndef NETWORKPROXY_REPORTEXCHANGE_H_
#define NETWORKPROXY_REPORTEXCHANGE_H_

#include <cstddef>

// Pause between the colour and the sequence command of one reply, in
// seconds; kSequencePause unless a harness that drives ActOnReplyLine at full
// speed (fuzzing) sets it to 0 before any worker runs.
extern unsigned sequence_pause_seconds;

// Writes the event object of `payload` into `output` (capacity `capacity`),
// cut to capacity - 1 bytes and terminated, and logs it. With capacity 0
// nothing is written or logged.
void EncodeEvent(const char* payload, char* output, unsigned long capacity);

// Posts the event object of `payload` to http://<ReportHost()>/ping.json with
// curl and, when the reply's last line mentions "colour" or "cards", acts on
// it. Returns 0 when curl exited with status 0, -1 otherwise (logged as
// "Error: Report failed ...").
int ReportEvent(const char* payload);

// Acts on one reply line: logs it, parses it and sends the tags, colour and
// (sequence_pause_seconds later) sequence commands. Never throws.
void ActOnReplyLine(const char* reply_line);

#endif  // NETWORKPROXY_REPORTEXCHANGE_H_
