// SerialLink: the controller's serial port. It owns the port's descriptor
// (opened exclusively and close-on-exec: curl and the update script never
// hold it) and the lock that keeps one reply's commands together on the wire.
//
// Threads: Open runs on the main thread before the workers start, which
// also reads and writes the port during start-up. Afterwards the serial
// worker alone reads (through fd()); commands are written by the serial
// worker (the plain mode, or while the spool cannot keep an event) and by
// the sender worker (store and forward). Whoever writes a reply's commands
// holds LockCommands() for the whole sequence, so two replies never
// interleave on the wire. Reading and writing one tty descriptor from two
// threads at once is safe: the kernel keeps the two directions apart.
#ifndef NETWORKPROXY_SERIALLINK_H_
#define NETWORKPROXY_SERIALLINK_H_

#include <mutex>
#include <string>

#include "Status.h"

class SerialLink {
 public:
  // Not open: fd() is -1 and writes send nothing.
  SerialLink() = default;
  // Takes over `fd`, already in the port's working mode (tests and fuzzers
  // put a pty or a pipe here); closed with the link.
  explicit SerialLink(int fd) : fd_(fd) {}
  ~SerialLink();

  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Opens `port` exclusively and close-on-exec, blocking, 9600 8N1 raw,
  // VMIN 1, VTIME 0, keeping input already queued for start-up to read,
  // then pauses kPortSettle. A failure is reported as it happens, on
  // standard output or in the log in the words sites know, and returned.
  Status Open(const std::string& port);

  int fd() const { return fd_; }

  // Ends the exclusive use Open set. The kernel keeps the flag on the
  // terminal, not on the descriptor: on a pseudo-terminal whose other side
  // stays open, a daemon that ended without this would leave every later
  // open refused ("Device or resource busy"). Any thread; the descriptor
  // stays open, so a worker still reading it is not disturbed.
  void EndExclusiveUse();

  // Discards input received on the port but not yet read.
  void FlushInput();

  // Sends `command` byte by byte up to and including its first CR (or up to
  // its terminator when it has none). A failed write ends the command early.
  void Write(const char* command);

  // Held by whoever writes a reply's commands, for the whole sequence.
  std::unique_lock<std::mutex> LockCommands() { return std::unique_lock<std::mutex>(commands_); }

 private:
  int fd_ = -1;
  std::mutex commands_;
};

#endif  // NETWORKPROXY_SERIALLINK_H_
