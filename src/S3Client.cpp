// S3Client: GET one object from S3 with libcurl, signed with SigV4 by libcurl.
// See S3Client.h for the contract.
#include "S3Client.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "S3Response.h"

namespace {

// Time allowed to set up the TCP connection (and TLS), per attempt.
constexpr std::chrono::seconds kConnectTimeout{5};
// A transfer slower than kLowSpeedLimitBytesPerSecond for kLowSpeedTime is
// abandoned; the caller's deadline bounds a body that merely trickles.
constexpr long kLowSpeedLimitBytesPerSecond = 1;
constexpr std::chrono::seconds kLowSpeedTime{10};
// Attempts per GetObject: the first one plus retries after network errors and
// HTTP 5xx.
constexpr int kMaxAttempts = 3;
// Pause before the first retry; it doubles before each further one.
constexpr std::chrono::milliseconds kInitialBackoff{200};

// libcurl 7.88 always signs the SHA-256 of the (empty) request body, whatever
// this header says; S3 insists on the header, so it carries that same hash.
constexpr const char* kEmptyPayloadSha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// S3's UriEncode: every byte but A-Z a-z 0-9 - . _ ~ becomes %XX (upper-case
// hex); '/' is kept when `keep_slash`. S3 does not encode the path twice, so
// the encoded path is also the canonical URI that libcurl signs.
std::string UriEncode(const std::string& in, bool keep_slash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(in.size() * 3);
  for (unsigned char c : in) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
        c == '~' || (keep_slash && c == '/')) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}




// libcurl errors that another attempt will not cure.
bool IsPermanentCurlError(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_LOGIN_DENIED:
    case CURLE_FILESIZE_EXCEEDED:
      return true;
    default:
      return false;
  }
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
// Header lists may hold a session token: overwritten before they are freed.
struct SlistDeleter {
  void operator()(curl_slist* l) const {
    for (curl_slist* node = l; node != nullptr; node = node->next) {
      OPENSSL_cleanse(node->data, std::strlen(node->data));
    }
    curl_slist_free_all(l);
  }
};

struct AttemptResult {
  S3Client::Object object;
  bool retryable = false;
};

using Clock = std::chrono::steady_clock;

AttemptResult Attempt(const std::string& url, const std::string& region,
                      const S3Credentials& creds, int sink_fd, std::size_t max_bytes,
                      std::chrono::milliseconds time_left) {
  AttemptResult r;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    r.object.error = "curl_easy_init failed";
    return r;
  }
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  auto add_header = [&headers](const std::string& h) {
    curl_slist* next = curl_slist_append(headers.get(), h.c_str());
    if (next) {
      headers.release();
      headers.reset(next);
    }
    return next != nullptr;
  };
  bool headers_ok =
      add_header(std::string("x-amz-content-sha256: ") + kEmptyPayloadSha256) &&
      add_header("x-amz-checksum-mode: ENABLED");
  if (headers_ok && !creds.session_token.empty()) {
    std::string token_header = "x-amz-security-token: " + creds.session_token;
    headers_ok = add_header(token_header);
    WipeString(token_header);
  }
  if (!headers_ok) {
    r.object.error = "out of memory";
    return r;
  }
  const std::string sigv4 = "aws:amz:" + region + ":s3";
  S3Exchange ex;
  ex.sink_fd = sink_fd;
  ex.max_bytes = max_bytes;
  char errbuf[CURL_ERROR_SIZE] = {0};

  CURL* c = curl.get();
  CURLcode setup = CURLE_OK;
  auto set = [&setup](CURLcode rc) {
    if (setup == CURLE_OK) setup = rc;
  };
  set(curl_easy_setopt(c, CURLOPT_URL, url.c_str()));
  set(curl_easy_setopt(c, CURLOPT_HTTPGET, 1L));
  set(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https,http"));
  set(curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1));
  // Keep "." and ".." segments of a key as they are: they are part of it.
  set(curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L));
  set(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L));
  // No proxy, whatever the environment's *_proxy variables say: the check
  // goes straight to the bucket, as it always has.
  set(curl_easy_setopt(c, CURLOPT_PROXY, ""));
  set(curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(kConnectTimeout.count())));
  set(curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytesPerSecond));
  set(curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(kLowSpeedTime.count())));
  set(curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(
                                                  1, time_left.count()))));
  // Refuses a larger Content-Length before any of the body is read.
  set(curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_bytes)));
  set(curl_easy_setopt(c, CURLOPT_AWS_SIGV4, sigv4.c_str()));
  set(curl_easy_setopt(c, CURLOPT_USERNAME, creds.access_key_id.c_str()));
  set(curl_easy_setopt(c, CURLOPT_PASSWORD, creds.secret_access_key.c_str()));
  set(curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()));
  set(curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader));
  set(curl_easy_setopt(c, CURLOPT_HEADERDATA, &ex));
  set(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody));
  set(curl_easy_setopt(c, CURLOPT_WRITEDATA, &ex));
  set(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf));
  if (setup != CURLE_OK) {
    r.object.error = std::string("curl setup: ") + curl_easy_strerror(setup);
    return r;
  }

  CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  r.object.http_status = status;
  if (rc == CURLE_FILESIZE_EXCEEDED || ex.too_large) {
    r.object.error = "object larger than " + std::to_string(max_bytes) + " bytes";
    r.object.too_large = true;
    return r;
  }
  if (!ex.sink_status.ok()) {
    r.object.error = "writing the body: " + ex.sink_status.reason();
    return r;
  }
  if (ex.out_of_memory) {
    r.object.error = "out of memory";
    return r;
  }
  if (rc != CURLE_OK) {
    r.object.error = std::string("network: ") +
                     (errbuf[0] ? errbuf : curl_easy_strerror(rc));
    r.retryable = !IsPermanentCurlError(rc);
    return r;
  }
  if (status < 200 || status >= 300) {
    std::string code = ErrorCode(ex.body);
    r.object.error = "HTTP " + std::to_string(status) + (code.empty() ? "" : " " + code);
    r.retryable = status >= 500;
    return r;
  }
  curl_off_t content_length = -1;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &content_length) != CURLE_OK ||
      content_length < 0) {
    r.object.error = "no Content-Length in reply";
    return r;
  }
  if (static_cast<curl_off_t>(ex.received) != content_length) {
    // libcurl reports a short body itself; this is a second line of defence.
    r.object.error = "body of " + std::to_string(ex.received) +
                     " bytes, Content-Length " + std::to_string(content_length);
    r.retryable = true;
    return r;
  }
  // A composite checksum (multipart upload: "<base64>-<parts>") is a checksum
  // of the parts' checksums, not of the object, and cannot be checked here.
  const bool composite = EqualsIgnoreCase(ex.checksum_type, "COMPOSITE") ||
                         ex.checksum_sha256.find('-') != std::string::npos;
  if (!ex.checksum_sha256.empty() && !composite) {
    const std::string actual = ex.digest.FinalBase64();
    if (actual.empty()) {
      r.object.error = "SHA-256 computation failed";
      return r;
    }
    if (actual != ex.checksum_sha256) {
      r.object.error = "checksum mismatch (x-amz-checksum-sha256)";
      return r;
    }
  }
  r.object.ok = true;
  if (sink_fd < 0) r.object.body = std::move(ex.body);
  return r;
}

}  // namespace

S3Client::S3Client(std::string region, S3Credentials credentials, std::string endpoint)
    : region_(std::move(region)),
      credentials_(std::move(credentials)),
      endpoint_(std::move(endpoint)) {}

std::string S3Client::ObjectUrl(const std::string& bucket,
                                const std::string& key) const {
  const std::string path = UriEncode(key, /*keep_slash=*/true);
  std::string endpoint = endpoint_;
  if (endpoint.empty()) {
    return "https://" + bucket + ".s3." + region_ + ".amazonaws.com/" + path;
  }
  while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
  return endpoint + "/" + UriEncode(bucket, /*keep_slash=*/false) + "/" + path;
}

S3Client::Object S3Client::GetObject(const std::string& bucket, const std::string& key,
                                     const Limits& limits) const {
  return Fetch(bucket, key, -1, limits);
}

S3Client::Object S3Client::GetObjectToFile(const std::string& bucket, const std::string& key,
                                           int fd, const Limits& limits) const {
  return Fetch(bucket, key, fd, limits);
}

S3Client::Object S3Client::Fetch(const std::string& bucket, const std::string& key, int fd,
                                 const Limits& limits) const {
  const S3Credentials& creds = credentials_;
  if (creds.access_key_id.empty() || creds.secret_access_key.empty()) {
    Object missing;
    missing.error = "no credentials";
    return missing;
  }
  const std::string url = ObjectUrl(bucket, key);
  const Clock::time_point deadline = Clock::now() + limits.deadline;
  auto time_left = [deadline] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  };
  std::chrono::milliseconds backoff = kInitialBackoff;
  AttemptResult last;
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    if (attempt > 1) {
      if (time_left() <= backoff) {
        last.object.error += " (deadline reached)";
        break;
      }
      std::this_thread::sleep_for(backoff);
      backoff *= 2;
    }
    // A file sink starts each attempt empty: a failed attempt's bytes must
    // not stay in front of the next one's.
    if (fd >= 0 && (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)) {
      last = AttemptResult{};
      last.object.error = std::string("emptying the file: ") + std::strerror(errno);
      break;
    }
    last = Attempt(url, region_, creds, fd, limits.max_bytes, time_left());
    if (last.object.ok || !last.retryable) break;
    if (attempt == kMaxAttempts) {
      last.object.error += " (after " + std::to_string(kMaxAttempts) + " attempts)";
    }
  }
  if (!last.object.ok) last.object.body.clear();
  return last.object;
}
