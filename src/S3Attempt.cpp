// S3Attempt: one signed GET; see S3Attempt.h for the contract.
#include "S3Attempt.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "S3Response.h"

namespace {

// Time allowed to set up the TCP connection (and TLS), per attempt.
constexpr std::chrono::seconds kConnectTimeout{5};
// A transfer slower than kLowSpeedLimitBytesPerSecond for kLowSpeedTime is
// abandoned; the caller's deadline bounds a body that merely trickles.
constexpr long kLowSpeedLimitBytesPerSecond = 1;
constexpr std::chrono::seconds kLowSpeedTime{10};
// libcurl 7.88 always signs the SHA-256 of the (empty) request body, whatever
// this header says; S3 insists on the header, so it carries that same hash.
constexpr const char* kEmptyPayloadSha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

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

// Header lists may hold a session token: overwritten before they are freed.
struct SlistDeleter {
  void operator()(curl_slist* l) const {
    for (curl_slist* node = l; node != nullptr; node = node->next) {
      OPENSSL_cleanse(node->data, std::strlen(node->data));
    }
    curl_slist_free_all(l);
  }
};

// What an attempt that ran (`rc`) brought: the object, or why not and
// whether another attempt may cure it.
S3AttemptResult Judge(CURL* c, CURLcode rc, S3Exchange& ex, const char* errbuf,
                      std::size_t max_bytes, int sink_fd, bool keep_cut) {
  S3AttemptResult r;
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  r.object.http_status = status;
  curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &r.object.new_connections);
  r.object.etag = ex.etag;
  r.object.content_range = ex.content_range;
  curl_off_t announced = -1;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK) {
    r.object.content_length = announced;
  }
  // A composite checksum (multipart upload: "<base64>-<parts>") is a checksum
  // of the parts' checksums, not of the object, and cannot be checked here.
  const bool composite = EqualsIgnoreCase(ex.checksum_type, "COMPOSITE") ||
                         ex.checksum_sha256.find('-') != std::string::npos;
  if (status == 200 && !composite) r.object.checksum_sha256 = ex.checksum_sha256;
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
    // What arrived of a good answer before the network failed is the
    // object's first bytes, worth keeping for a caller that resumes.
    r.object.cut = status >= 200 && status < 300 && ex.received > 0;
    if (r.object.cut && keep_cut && sink_fd < 0) r.object.body = std::move(ex.body);
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

S3AttemptResult AttemptGet(S3Handle& handle, const std::string& url, const std::string& region,
                           const S3Credentials& creds, int sink_fd, std::size_t max_bytes,
                           std::chrono::milliseconds time_left, const S3Request& request) {
  S3AttemptResult r;
  CURL* c = handle.Next();
  if (c == nullptr) {
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
  if (headers_ok && !request.range.empty()) headers_ok = add_header(request.range);
  if (headers_ok && !request.if_match.empty()) headers_ok = add_header(request.if_match);
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
  const CURLcode rc = curl_easy_perform(c);
  S3AttemptResult judged = Judge(c, rc, ex, errbuf, max_bytes, sink_fd, request.keep_cut);
  // The handle outlives this request: nothing of it may point here, and the
  // key pair does not stay in it until the next check.
  curl_easy_setopt(c, CURLOPT_USERNAME, nullptr);
  curl_easy_setopt(c, CURLOPT_PASSWORD, nullptr);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
  return judged;
}
