// S3Response: what one S3 GET brought back, collected by libcurl's header
// and body callbacks, and the checks made on it. Used by the S3 layer
// (and ImageDownload, for the SHA-256 of a resumed image).
#ifndef NETWORKPROXY_S3RESPONSE_H_
#define NETWORKPROXY_S3RESPONSE_H_

#include <cstddef>
#include <string>

#include "Status.h"

// SHA-256 of a byte stream fed piece by piece (OpenSSL EVP). Once a step
// fails, the digest stays failed.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  void Update(const char* data, std::size_t size) noexcept;
  // Base64 of the digest of everything fed so far; empty on a failure.
  // Call once.
  std::string FinalBase64();

 private:
  struct evp_md_ctx_st* context_;
  bool ok_;
};

// What one HTTP exchange collected.
struct S3Exchange {
  long status = 0;              // status of the last response head seen
  std::string body;             // memory sink, 2xx: the body; otherwise its first bytes
  std::string checksum_sha256;  // x-amz-checksum-sha256, trimmed
  std::string checksum_type;    // x-amz-checksum-type, trimmed
  std::string etag;             // ETag, trimmed
  std::string content_range;    // Content-Range, trimmed

  // Where a 2xx body goes: `body` when sink_fd is -1, else written to
  // sink_fd. A body of more than max_bytes is refused at the byte that
  // passes the bound.
  int sink_fd = -1;
  std::size_t max_bytes = 0;
  std::size_t received = 0;     // 2xx body bytes taken so far
  Sha256Stream digest;          // of the 2xx body taken so far
  bool too_large = false;       // the body passed max_bytes
  Status sink_status;           // a failed write to sink_fd
  bool out_of_memory = false;   // a callback could not allocate
};

// libcurl callbacks (CURLOPT_HEADERFUNCTION, CURLOPT_WRITEFUNCTION) filling
// the S3Exchange passed as their user data. They never throw: a failure
// inside one ends the transfer (they return 0) and is noted in the
// exchange.
std::size_t OnHeader(char* data, std::size_t size, std::size_t nitems, void* userdata);
std::size_t OnBody(char* data, std::size_t size, std::size_t nmemb, void* userdata);

// The <Code> of an S3 XML error body, or empty.
std::string ErrorCode(const std::string& body);

// Case-insensitive comparison of ASCII texts.
bool EqualsIgnoreCase(const std::string& a, const char* b);

// Base64 of the SHA-256 of `data`, as S3 sends in x-amz-checksum-sha256.
// Empty on an OpenSSL failure.
std::string Sha256Base64(const std::string& data);

#endif  // NETWORKPROXY_S3RESPONSE_H_
