// EventStamp: what a kept event carries besides its payload: a random key
// that lets the server recognise a second copy, and the time it was read in
// the form the server gets it.
//
// Pure functions; any thread may call them.
#ifndef NETWORKPROXY_EVENTSTAMP_H_
#define NETWORKPROXY_EVENTSTAMP_H_

#include <cstdint>
#include <string>

// An event line's payload as the serial worker read it, and when (ms since
// the epoch, UTC).
struct LineEvent {
  std::string payload;
  std::int64_t received_ms = 0;
};

// The time now in ms since the epoch (UTC), as events are stamped.
std::int64_t NowMs();

// A new random UUID (version 4) in its 36-character text form, from the
// operating system's random source. False when no random bytes could be had.
bool NewEventKey(std::string* key);

// `ms` since the epoch as an RFC 3339 UTC time to the second, e.g.
// "2026-12-08T12:00:00Z".
std::string Rfc3339Utc(std::int64_t ms);

#endif  // NETWORKPROXY_EVENTSTAMP_H_
