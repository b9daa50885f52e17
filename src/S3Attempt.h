// S3Attempt: one signed GET of one object with libcurl (SigV4 signed by
// libcurl): the request, its bounds, and what its answer means, including
// whether another attempt may cure a failure. S3Client (which includes this) runs the attempts.
//
// Threads: any thread; nothing is shared between calls.
#ifndef NETWORKPROXY_S3ATTEMPT_H_
#define NETWORKPROXY_S3ATTEMPT_H_

#include <chrono>
#include <cstddef>
#include <string>

#include "Credentials.h"

// What one GET brought back.
struct S3Object {
  bool ok = false;        // true only when the whole body arrived intact
  long http_status = 0;   // last HTTP status seen; 0 when none
  std::string body;       // the object's bytes when ok (GetObject only)
  std::string error;      // short reason when !ok, for the log
  bool too_large = false; // the object is larger than the request's bound
};

struct S3AttemptResult {
  S3Object object;
  bool retryable = false;  // a network error or a 5xx: another attempt may work
};

// GETs `url` signed for `region` with `creds`, into `sink_fd` (-1: into
// the result's body), at most `max_bytes`, within `time_left`.
S3AttemptResult AttemptGet(const std::string& url, const std::string& region,
                         const S3Credentials& creds, int sink_fd, std::size_t max_bytes,
                         std::chrono::milliseconds time_left);

#endif  // NETWORKPROXY_S3ATTEMPT_H_
