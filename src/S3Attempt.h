// S3Attempt: one signed GET of one object with libcurl (SigV4 signed by
// libcurl): the request, its bounds, and what its answer means, including
// whether another attempt may cure a failure. S3Client runs the attempts.
//
// Threads: any thread; nothing is shared between calls.
#ifndef NETWORKPROXY_S3ATTEMPT_H_
#define NETWORKPROXY_S3ATTEMPT_H_

#include <chrono>
#include <cstddef>
#include <string>

#include "Credentials.h"
#include "S3Client.h"

struct AttemptResult {
  S3Client::Object object;
  bool retryable = false;  // a network error or a 5xx: another attempt may work
};

// GETs `url` signed for `region` with `creds`, into `sink_fd` (-1: into
// the result's body), at most `max_bytes`, within `time_left`.
AttemptResult AttemptGet(const std::string& url, const std::string& region,
                         const S3Credentials& creds, int sink_fd, std::size_t max_bytes,
                         std::chrono::milliseconds time_left);

#endif  // NETWORKPROXY_S3ATTEMPT_H_
