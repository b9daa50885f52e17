// S3Client: the little of S3 that the firmware check needs. It GETs one
// object from a bucket and hands back the whole body or a failure.
//
// Credentials are given to the constructor; the environment's AWS_* key
// variables are never read. Requests are signed with AWS Signature Version 4 by libcurl.
// Addressing is virtual-host style against the regional endpoint, or
// path-style against AWS_ENDPOINT_URL_S3 (else AWS_ENDPOINT_URL) when set.
//
// Each GetObject asks for "x-amz-checksum-mode: ENABLED" and hands back the
// body only when its length equals the Content-Length and its SHA-256
// equals x-amz-checksum-sha256 (when S3 sent a full-object one). Time-outs:
// a few seconds to connect, then a low-speed limit rather than a total limit;
// see the constants in S3Client.cpp. No signals are used, so other threads may
// start processes meanwhile (every child is started with our descriptors
// closed, see ChildProcess.h, so none inherits a transfer's socket). No proxy
// is used.
//
// curl_global_init must have been called before the first request. An
// S3Client may be used by one thread at a time; separate clients may be used
// on separate threads.
#ifndef NETWORKPROXY_S3CLIENT_H_
#define NETWORKPROXY_S3CLIENT_H_

#include <string>

#include "Credentials.h"

class S3Client {
 public:
  struct Object {
    bool ok = false;        // true only when the whole body arrived intact
    long http_status = 0;   // last HTTP status seen; 0 when none
    std::string body;       // the object's bytes when ok
    std::string error;      // short reason when !ok, for the log
  };

  // The client keeps its own copy of `credentials` and wipes it when it is
  // destroyed. Without an access key ID and a secret access key every
  // GetObject fails without a request.
  explicit S3Client(std::string region, S3Credentials credentials = S3Credentials());

  // Fetches `key` from `bucket`. Network errors and HTTP 5xx are retried a
  // few times with back-off; HTTP 4xx fails at once. A body whose length
  // differs from Content-Length, or whose SHA-256 differs from the
  // x-amz-checksum-sha256 S3 sent, is a failure.
  Object GetObject(const std::string& bucket, const std::string& key) const;

  // The URL GetObject requests for `bucket` and `key` (key path-encoded).
  std::string ObjectUrl(const std::string& bucket, const std::string& key) const;

 private:
  std::string region_;
  S3Credentials credentials_;
};

#endif  // NETWORKPROXY_S3CLIENT_H_
