// S3Response: what one S3 GET brought back, collected by libcurl's header
// and body callbacks, and the checks made on it. Used by S3Client only.
#ifndef NETWORKPROXY_S3RESPONSE_H_
#define NETWORKPROXY_S3RESPONSE_H_

#include <cstddef>
#include <string>

// What one HTTP exchange collected.
struct S3Exchange {
  long status = 0;              // status of the last response head seen
  std::string body;             // 2xx: whole body; otherwise its first bytes
  std::string checksum_sha256;  // x-amz-checksum-sha256, trimmed
  std::string checksum_type;    // x-amz-checksum-type, trimmed
};

// libcurl callbacks (CURLOPT_HEADERFUNCTION, CURLOPT_WRITEFUNCTION) filling
// the S3Exchange passed as their user data. Never throw.
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
