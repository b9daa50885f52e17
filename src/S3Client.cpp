// S3Client: GET one object from S3 with libcurl, signed with SigV4 by libcurl.
// See S3Client.h for the contract.
#include "S3Client.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "S3Attempt.h"

namespace {

// Attempts per GetObject: the first one plus retries after network errors and
// HTTP 5xx.
constexpr int kMaxAttempts = 3;
// Pause before the first retry; it doubles before each further one.
constexpr std::chrono::milliseconds kInitialBackoff{200};

using Clock = std::chrono::steady_clock;

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

}  // namespace

S3Client::S3Client(std::string region, S3Credentials credentials, std::string endpoint,
                   S3Handle* handle)
    : region_(std::move(region)),
      credentials_(std::move(credentials)),
      endpoint_(std::move(endpoint)),
      own_handle_(handle == nullptr ? new S3Handle() : nullptr),
      handle_(handle == nullptr ? own_handle_.get() : handle) {}

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

S3AttemptResult S3Client::GetObjectOnce(const std::string& bucket, const std::string& key,
                                       const Limits& limits, const S3Request& request) const {
  if (credentials_.access_key_id.empty() || credentials_.secret_access_key.empty()) {
    S3AttemptResult missing;
    missing.object.error = "no credentials";
    return missing;
  }
  return AttemptGet(*handle_, ObjectUrl(bucket, key), region_, credentials_, -1, limits.max_bytes,
                    limits.deadline, request);
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
  S3AttemptResult last;
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
      last = S3AttemptResult{};
      last.object.error = std::string("emptying the file: ") + std::strerror(errno);
      break;
    }
    last = AttemptGet(*handle_, url, region_, creds, fd, limits.max_bytes, time_left(),
                      S3Request());
    if (last.object.ok || !last.retryable) break;
    if (attempt == kMaxAttempts) {
      last.object.error += " (after " + std::to_string(kMaxAttempts) + " attempts)";
    }
  }
  if (!last.object.ok) last.object.body.clear();
  return last.object;
}
