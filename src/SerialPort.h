// SerialPort: opening and configuring the controller's serial port, and the
// raw byte-level operations on it.
//
// Threads: during start-up only the main thread uses the port; afterwards
// the serial worker alone.
#ifndef NETWORKPROXY_SERIALPORT_H_
#define NETWORKPROXY_SERIALPORT_H_

// Descriptor of the open serial port; 0 before OpenSerialPort, -1 after a
// failed open. Written by OpenSerialPort only (and by tests and fuzzers that
// put a pipe or a pty in its place).
extern int USB;

// Opens `port` exclusively and close-on-exec, blocking, 9600 8N1 raw, VMIN 1,
// VTIME 0, keeping input already queued for start-up to read, then pauses
// kPortSettle. Returns 1 on success, 0 on failure
// (already reported on standard output or in the log). Leaves the
// descriptor in USB.
int OpenSerialPort(const char* port);

// Discards input received on the port but not yet read.
void FlushPortInput();

// Sends `command` byte by byte up to and including its first CR (or up to
// its terminator when it has none). A failed write ends the command early.
void WritePortCommand(const char* command);

#endif  // NETWORKPROXY_SERIALPORT_H_
