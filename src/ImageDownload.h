// ImageDownload: the bytes of one published firmware image, fetched whole
// or, when an earlier download ended early, only the rest of it.
//
// What arrives of an answer that the network cuts is kept as the image's
// part (PartialDownload.h) with the object's ETag, size, published version
// and full-object checksum; the next attempt, in this check or a later
// one, asks for the rest with "Range: bytes=<n>-" and "If-Match: <etag>",
// and appends only a 206 that continues the part exactly. A 200 is taken as
// the whole object; a 412 (the object changed), a range that does not fit
// or any other answer but a 5xx discards the part and starts over. A part
// recorded for another version, or larger than the largest image, is
// discarded unread.
//
// The whole image is checked as a single answer would be: its size against
// the recorded one and, when S3 sent a full-object x-amz-checksum-sha256
// with the first bytes, its SHA-256 against that (the If-Match on every
// later request ties that checksum to the same object). The part is
// discarded once the whole image is in memory: a check that then fails
// (signature, disk) starts over at the next check.
//
// Threads: the update worker.
#ifndef NETWORKPROXY_IMAGEDOWNLOAD_H_
#define NETWORKPROXY_IMAGEDOWNLOAD_H_

#include <string>

#include "S3Client.h"
#include "Status.h"

// Fetches `image_key` of `version` from `bucket` with `client` into `image`,
// within the image deadline and a few attempts, keeping a cut answer beside
// `image_path`. Logs "Resuming firmware download of <v> at <n> of <total>
// bytes" before each request for the rest. A failure carries the reason
// (may hold the server's words, not yet cleaned of credentials).
Status DownloadImage(const S3Client& client, const std::string& bucket,
                     const std::string& image_path, const char* image_key, const char* version,
                     std::string* image);

#endif  // NETWORKPROXY_IMAGEDOWNLOAD_H_
