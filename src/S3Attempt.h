// S3Attempt: one signed GET of one object with libcurl (SigV4 signed by
// libcurl): the request, its bounds, and what its answer means, including
// whether another attempt may cure a failure. S3Client (which includes this) runs the attempts.
//
// Threads: the thread that owns the S3Handle given.
#ifndef NETWORKPROXY_S3ATTEMPT_H_
#define NETWORKPROXY_S3ATTEMPT_H_

#include <chrono>
#include <cstddef>
#include <string>

#include "Credentials.h"
#include "S3Handle.h"

// What one GET brought back.
struct S3Object {
  bool ok = false;        // true only when the whole body arrived intact
  long http_status = 0;   // last HTTP status seen; 0 when none
  std::string body;       // the object's bytes when ok (GetObject only)
  std::string error;      // short reason when !ok, for the log
  bool too_large = false; // the object is larger than the request's bound
  std::string etag;          // the answer's ETag, as sent (quotes included)
  std::string content_range; // a 206's Content-Range
  long long content_length = -1;  // the answer's Content-Length; -1 when none
  // The full-object x-amz-checksum-sha256 of a 200 (none for a composite
  // one or a part), also when its body was cut.
  std::string checksum_sha256;
  // A 2xx body the network cut short; with S3Request::keep_cut, `body`
  // holds the bytes that did arrive.
  bool cut = false;
  long new_connections = 0;  // connections opened for this answer (0: one reused)
};

// What a GET asks for beyond the object itself.
struct S3Request {
  std::string range;     // "Range: bytes=N-", or empty for the whole object
  std::string if_match;  // "If-Match: <etag>", or empty
  bool keep_cut = false; // keep the bytes of a body cut short (S3Object::cut)
};

struct S3AttemptResult {
  S3Object object;
  bool retryable = false;  // a network error or a 5xx: another attempt may work
};

// GETs `url` signed for `region` with `creds` through `handle`, into
// `sink_fd` (-1: into the result's body), at most `max_bytes`, within
// `time_left`, with `request`'s headers (signed like the others).
S3AttemptResult AttemptGet(S3Handle& handle, const std::string& url, const std::string& region,
                           const S3Credentials& creds, int sink_fd, std::size_t max_bytes,
                           std::chrono::milliseconds time_left, const S3Request& request);

#endif  // NETWORKPROXY_S3ATTEMPT_H_
