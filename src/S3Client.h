// S3Client: the little of S3 that the firmware check needs. It GETs one
// object from a bucket and hands back the whole body or a failure.
//
// Credentials are given to the constructor; the environment's AWS_* key
// variables are never read. Requests are signed with AWS Signature Version 4 by libcurl.
// Addressing is virtual-host style against the regional endpoint, or
// path-style against the endpoint given (the site's AWS_ENDPOINT_URL_S3,
// else AWS_ENDPOINT_URL) when there is one.
//
// Each request asks for "x-amz-checksum-mode: ENABLED" and succeeds only
// when the body's length equals the Content-Length and its SHA-256 equals
// x-amz-checksum-sha256 (when S3 sent a full-object one); the digest is
// computed as the body arrives. Every request is bounded by its caller's
// Limits: a Content-Length or a body beyond max_bytes fails without
// reading on, and the whole request, retries included, ends at its
// deadline. Besides, a few seconds to connect and a low-speed limit; see the
// constants in S3Client.cpp. No signals are used, so other threads may
// start processes meanwhile (every child is started with our descriptors
// closed, see ChildProcess.h, so none inherits a transfer's socket). No proxy
// is used. Nothing thrown inside a libcurl callback leaves it.
//
// Requests go through an S3Handle (S3Handle.h): the caller's, which may
// outlive the client and serve the next one (the daemon keeps one for all
// its checks, so an idle check reuses its connection or TLS session), or
// else one of the client's own, kept across its requests.
//
// curl_global_init must have been called before the first request. An
// S3Client, and the handle it uses, may be used by one thread at a time;
// separate clients with separate handles may be used on separate threads.
#ifndef NETWORKPROXY_S3CLIENT_H_
#define NETWORKPROXY_S3CLIENT_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "Credentials.h"
#include "S3Attempt.h"

class S3Client {
 public:
  using Object = S3Object;  // S3Attempt.h

  // Bounds of one request.
  struct Limits {
    std::size_t max_bytes;               // largest object accepted
    std::chrono::milliseconds deadline;  // for the whole request, retries included
  };

  // The client keeps its own copy of `credentials` and wipes it when it is
  // destroyed. Without an access key ID and a secret access key every
  // GetObject fails without a request. `endpoint` is an S3 base URL
  // ("http://127.0.0.1:9000"), empty for AWS itself. `handle` (not owned)
  // carries the requests; null: a handle of the client's own.
  explicit S3Client(std::string region, S3Credentials credentials = S3Credentials(),
                    std::string endpoint = std::string(), S3Handle* handle = nullptr);

  // Fetches `key` from `bucket` into memory. Network errors and HTTP 5xx
  // are retried a few times with back-off while the deadline allows; HTTP
  // 4xx and an object beyond max_bytes fail at once. A body whose length
  // differs from Content-Length, or whose SHA-256 differs from the
  // x-amz-checksum-sha256 S3 sent, is a failure.
  Object GetObject(const std::string& bucket, const std::string& key,
                   const Limits& limits) const;

  // As GetObject, but the body streams into `fd`, an open regular file
  // that the caller owns and that is emptied and rewound before each
  // attempt; the returned Object's body stays empty. When !ok the file
  // holds no usable content.
  Object GetObjectToFile(const std::string& bucket, const std::string& key, int fd,
                         const Limits& limits) const;

  // One attempt at `key` with `request`'s range, precondition and cut
  // body kept (S3Object), no retry: for a caller that resumes between
  // attempts itself. `retryable` says whether another attempt may work.
  S3AttemptResult GetObjectOnce(const std::string& bucket, const std::string& key,
                                const Limits& limits, const S3Request& request) const;

  // The URL GetObject requests for `bucket` and `key` (key path-encoded).
  std::string ObjectUrl(const std::string& bucket, const std::string& key) const;

 private:
  Object Fetch(const std::string& bucket, const std::string& key, int fd,
               const Limits& limits) const;

  std::string region_;
  S3Credentials credentials_;
  std::string endpoint_;
  std::unique_ptr<S3Handle> own_handle_;
  S3Handle* handle_;
};

#endif  // NETWORKPROXY_S3CLIENT_H_
