// PartialDownload: what arrived of a firmware image download that ended
// early, kept so that the next check asks only for the rest.
//
// Beside the image path IMAGE the part is kept as "IMAGE.part" (the first
// bytes of the object, in order) and its record as "IMAGE.part.etag": the
// object's ETag on the first line, its size in bytes on the second, then
// the version it was published as and the full-object SHA-256 (base64) S3
// sent with its first bytes (each line empty when not known). Both files
// are mode 0640. The record is written after the part's first bytes and
// removed before anything else, so a record always describes a part that is
// a prefix of that object; the bytes held are the part file's size, so a
// crash in the middle of an append loses nothing that was written.
//
// A part is never the image: the caller renames nothing into place until the
// whole object has passed its size, checksum and signature checks.
//
// Threads: the update worker (one caller at a time per image path).
#ifndef NETWORKPROXY_PARTIALDOWNLOAD_H_
#define NETWORKPROXY_PARTIALDOWNLOAD_H_

#include <cstdint>
#include <string>

#include "Status.h"

std::string PartPath(const std::string& image_path);        // IMAGE.part
std::string PartRecordPath(const std::string& image_path);  // IMAGE.part.etag

// What is held of one object.
struct HeldPart {
  std::string etag;         // as the server sent it, quotes included
  std::uint64_t total = 0;  // the object's size
  std::uint64_t size = 0;   // bytes held
  std::string version;      // published version of the object; may be empty
  std::string checksum_sha256;  // x-amz-checksum-sha256 of the whole object; may be empty
  // True when there is something to resume: some bytes, not all of them.
  bool resumable() const { return !etag.empty() && size > 0 && size < total; }
};

struct HeldPartResult {
  Status status;
  HeldPart part;  // empty (size 0) when nothing is held or on an error
};

// The part held for `image_path`: nothing (ok, empty) when there is no
// record or no part file. A record that is not an ETag and a size, or a part
// longer than the object, is an error naming the file: discard and start
// over.
HeldPartResult LoadPart(const std::string& image_path);

// Replaces whatever was held with `data`, the first bytes of the object with
// `etag` and `total` bytes. An ETag that could not be sent back in a header
// (see IsUsableEtag) is refused and nothing is kept; so are a `version`
// or `checksum_sha256` that is not one word of visible ASCII (or empty).
Status StartPart(const std::string& image_path, const std::string& etag, std::uint64_t total,
                 const std::string& data, const std::string& version = std::string(),
                 const std::string& checksum_sha256 = std::string());

// Adds `data`, the object's next bytes, to the part held.
Status AppendPart(const std::string& image_path, const std::string& data);

// The bytes of `part` (as LoadPart gave it) into `data`; an error when the
// file no longer holds exactly part.size bytes.
Status ReadPart(const std::string& image_path, const HeldPart& part, std::string* data);

// Removes the record, then the part; one that is not there is no error.
Status DiscardPart(const std::string& image_path);

// The request headers that ask for the rest of `part`:
// "Range: bytes=<size>-" and "If-Match: <etag>".
std::string RangeHeader(const HeldPart& part);
std::string IfMatchHeader(const HeldPart& part);

// An ETag that can go back in a header as it came: 1 to 128 visible ASCII
// characters, no space and no control character.
bool IsUsableEtag(const std::string& etag);

// What to do with the answer to a request for the rest of `part`: append
// only a 206 whose Content-Range ("bytes <first>-<last>/<total>") starts at
// the bytes held and runs to the end of an object of the recorded size;
// start over from byte 0 on anything else (a 200, a 412, another range).
enum class ResumeAnswer { kAppend, kStartOver };
ResumeAnswer DecideResume(long http_status, const std::string& content_range,
                          const HeldPart& part);

#endif  // NETWORKPROXY_PARTIALDOWNLOAD_H_
