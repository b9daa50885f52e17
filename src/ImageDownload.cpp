// ImageDownload: see ImageDownload.h for the contract.
#include "ImageDownload.h"

#include <chrono>
#include <thread>
#include <utility>

#include "EventLog.h"
#include "Intervals.h"
#include "PartialDownload.h"
#include "S3Response.h"

namespace {

// Attempts per check and the pause before the first retry (it doubles), as
// for any other object.
constexpr int kMaxAttempts = 3;
constexpr std::chrono::milliseconds kInitialBackoff{200};

using Clock = std::chrono::steady_clock;

// The part held for `version` when it is worth resuming; otherwise whatever
// is there is discarded and the part returned is empty.
HeldPart UsablePart(const std::string& image_path, const char* version) {
  const HeldPartResult held = LoadPart(image_path);
  if (held.status.ok() && held.part.resumable() && held.part.version == version &&
      held.part.total <= kMaxImageBytes) {
    return held.part;
  }
  DiscardPart(image_path);
  return HeldPart();
}

// The part held and `rest` as the whole image, checked as one answer would
// have been: its size and its full-object checksum.
Status Assemble(const std::string& image_path, const HeldPart& part, const std::string& rest,
                std::string* image) {
  std::string whole;
  const Status read = ReadPart(image_path, part, &whole);
  DiscardPart(image_path);
  if (!read.ok()) return read;
  whole += rest;
  if (whole.size() != part.total) {
    return Status::Error("resumed image of " + std::to_string(whole.size()) +
                         " bytes, object of " + std::to_string(part.total));
  }
  if (!part.checksum_sha256.empty() && Sha256Base64(whole) != part.checksum_sha256) {
    return Status::Error("checksum mismatch (x-amz-checksum-sha256)");
  }
  *image = std::move(whole);
  return Status::Ok();
}

// Keeps the first bytes of a 200 that was cut as a new part; an answer that
// could not be resumed (no usable ETag, no size, too large) keeps nothing.
Status KeepCut(const std::string& image_path, const S3Object& answer, const char* version) {
  if (answer.content_length <= 0 ||
      static_cast<unsigned long long>(answer.content_length) > kMaxImageBytes ||
      !IsUsableEtag(answer.etag)) {
    return DiscardPart(image_path);
  }
  return StartPart(image_path, answer.etag, static_cast<std::uint64_t>(answer.content_length),
                   answer.body, version, answer.checksum_sha256);
}

}  // namespace

Status DownloadImage(const S3Client& client, const std::string& bucket,
                     const std::string& image_path, const char* image_key, const char* version,
                     std::string* image) {
  const Clock::time_point deadline = Clock::now() + kImageDeadline;
  auto time_left = [deadline] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  };
  std::chrono::milliseconds backoff = kInitialBackoff;
  bool pause = false;
  std::string error;
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    if (pause) {
      if (time_left() <= backoff) return Status::Error(error + " (deadline reached)");
      std::this_thread::sleep_for(backoff);
      backoff *= 2;
    }
    const HeldPart part = UsablePart(image_path, version);
    S3Request request;
    request.keep_cut = true;
    if (part.resumable()) {
      request.range = RangeHeader(part);
      request.if_match = IfMatchHeader(part);
      LogFormat("Resuming firmware download of %s at %llu of %llu bytes", version,
                static_cast<unsigned long long>(part.size),
                static_cast<unsigned long long>(part.total));
    }
    S3AttemptResult result = client.GetObjectOnce(
        bucket, image_key, S3Client::Limits{kMaxImageBytes, time_left()}, request);
    S3Object& answer = result.object;
    error = answer.error.empty() ? "unexpected HTTP " + std::to_string(answer.http_status)
                                 : answer.error;
    Status kept;
    if (part.resumable() && answer.http_status == 206 && answer.etag == part.etag &&
        DecideResume(206, answer.content_range, part) == ResumeAnswer::kAppend) {
      if (answer.ok) return Assemble(image_path, part, answer.body, image);
      if (answer.cut) kept = AppendPart(image_path, answer.body);
    } else if (answer.http_status == 200 && answer.ok) {
      DiscardPart(image_path);
      *image = std::move(answer.body);
      return Status::Ok();
    } else if (answer.http_status == 200 && answer.cut) {
      kept = KeepCut(image_path, answer, version);
    } else if (answer.http_status != 0 && answer.http_status < 500) {
      // The part does not continue into this answer: the object changed
      // (412), the range no longer fits, or it is gone.
      DiscardPart(image_path);
      if (part.resumable()) {
        pause = false;
        continue;  // the whole object, at once
      }
    }
    if (!kept.ok()) error += " (keeping what arrived: " + kept.reason() + ")";
    if (!result.retryable) return Status::Error(error);
    pause = true;
  }
  return Status::Error(error + " (after " + std::to_string(kMaxAttempts) + " attempts)");
}
