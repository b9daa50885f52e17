#include "S3Response.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "WriteAll.h"

namespace {

// How much of an error reply (non-2xx) is kept to find its S3 error code.
// Bytes.
constexpr std::size_t kMaxErrorBodyBytes = 64 * 1024;

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  std::size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

}  // namespace

bool EqualsIgnoreCase(const std::string& a, const char* b) {
  std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string Sha256Base64(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &digest_len, EVP_sha256(),
                 nullptr) != 1) {
    return std::string();
  }
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(digest_len));
  return std::string(reinterpret_cast<char*>(encoded), n > 0 ? n : 0);
}

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()), ok_(false) {
  ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
}

Sha256Stream::~Sha256Stream() { EVP_MD_CTX_free(context_); }

void Sha256Stream::Update(const char* data, std::size_t size) noexcept {
  if (ok_ && size > 0) ok_ = EVP_DigestUpdate(context_, data, size) == 1;
}

std::string Sha256Stream::FinalBase64() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (!ok_ || EVP_DigestFinal_ex(context_, digest, &digest_len) != 1) return std::string();
  ok_ = false;
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(digest_len));
  return std::string(reinterpret_cast<char*>(encoded), n > 0 ? n : 0);
}

namespace {

void TakeHeader(S3Exchange* ex, const char* data, size_t n) {
  std::string line(data, n);
  if (line.compare(0, 5, "HTTP/") == 0) {
    // A new response head (also after 100 Continue): forget the last one.
    ex->checksum_sha256.clear();
    ex->checksum_type.clear();
    ex->etag.clear();
    ex->content_range.clear();
    std::size_t sp = line.find(' ');
    ex->status = sp == std::string::npos ? 0 : std::strtol(line.c_str() + sp + 1, nullptr, 10);
    return;
  }
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string name = Trim(line.substr(0, colon));
  if (EqualsIgnoreCase(name, "x-amz-checksum-sha256")) {
    ex->checksum_sha256 = Trim(line.substr(colon + 1));
  } else if (EqualsIgnoreCase(name, "x-amz-checksum-type")) {
    ex->checksum_type = Trim(line.substr(colon + 1));
  } else if (EqualsIgnoreCase(name, "etag")) {
    ex->etag = Trim(line.substr(colon + 1));
  } else if (EqualsIgnoreCase(name, "content-range")) {
    ex->content_range = Trim(line.substr(colon + 1));
  }
}

// False when the transfer must end here (noted in the exchange).
bool TakeBody(S3Exchange* ex, const char* data, size_t n) {
  if (ex->status < 200 || ex->status >= 300) {
    if (ex->body.size() < kMaxErrorBodyBytes) {
      ex->body.append(data, std::min(n, kMaxErrorBodyBytes - ex->body.size()));
    }
    return true;
  }
  if (n > ex->max_bytes - ex->received) {
    ex->too_large = true;
    return false;
  }
  if (ex->sink_fd >= 0) {
    ex->sink_status = WriteAll(ex->sink_fd, data, n);
    if (!ex->sink_status.ok()) return false;
  } else {
    ex->body.append(data, n);
  }
  ex->digest.Update(data, n);
  ex->received += n;
  return true;
}

}  // namespace

size_t OnHeader(char* data, size_t size, size_t nitems, void* userdata) {
  auto* ex = static_cast<S3Exchange*>(userdata);
  const size_t n = size * nitems;
  try {
    TakeHeader(ex, data, n);
  } catch (...) {
    // An exception must not unwind through libcurl's C frames.
    ex->out_of_memory = true;
    return 0;
  }
  return n;
}

size_t OnBody(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* ex = static_cast<S3Exchange*>(userdata);
  const size_t n = size * nmemb;
  try {
    return TakeBody(ex, data, n) ? n : 0;
  } catch (...) {
    ex->out_of_memory = true;
    return 0;
  }
}

std::string ErrorCode(const std::string& body) {
  std::size_t b = body.find("<Code>");
  if (b == std::string::npos) return std::string();
  b += 6;
  std::size_t e = body.find("</Code>", b);
  if (e == std::string::npos || e - b > 64) return std::string();
  return body.substr(b, e - b);
}
