// s3_fetch_loop: runs the firmware check's version-file fetch back to back
// with the daemon's own S3 layer and reports what each fetch cost.
//
//   s3_fetch_loop [--count N] [--sample N[,N...]] [--bucket B] [--key K]
//                 [--region R] [--handle kept|fresh] [--ca FILE]
//                 [--image VERSION [--today] [--image-path P]]
//
// --handle kept (the default) passes one S3Handle to every fetch's client,
// as the daemon does across its checks; fresh makes a new handle, connection
// and TLS handshake per request, as the checks once did. --ca trusts that CA
// bundle (an HTTPS stand-in). --image runs up to --count checks' image
// downloads of Version_VERSION.hex back to back, resuming what a cut left
// (beside --image-path, default ./bench-image.hex), or with --today as the
// checks once fetched it (whole, three attempts from byte 0 per check);
// each check prints {"check":i,"ok":...,"bytes":...} and the loop ends at
// the first that completes.
//
// Credentials and the endpoint come from the environment (AWS_ACCESS_KEY_ID,
// AWS_SECRET_ACCESS_KEY, AWS_ENDPOINT_URL_S3); the daemon itself reads its
// credentials from a file, which costs one small read per check on top.
// Standard output gets one JSON object per line:
//   {"fetch":i,"ok":true,"wall_ns":...,"cpu_ns":...}      for every fetch
//   {"after":i,"vmrss_kib":...,"rssanon_kib":...,          after fetch i when
//    "exact_rss_kib":...,"exact_anon_kib":...}             i is in --sample
// cpu_ns is the whole process's CPU time over the fetch (all threads), so a
// resolver thread libcurl may start is counted too.
// Exit status: 0 when every fetch succeeded, 1 otherwise, 2 on bad usage.
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include <curl/curl.h>

#include "FirmwareImage.h"
#include "ImageDownload.h"
#include "NetworkProxy.h"
#include "S3Client.h"
#include "S3Handle.h"
#include "SiteSettings.h"

namespace {

int64_t Nanoseconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Value in kB of `field` ("VmRSS:", "Anonymous:") in `path`; -1 when
// missing. /proc/self/status gives the kernel's per-CPU counters, which may
// lag by many pages; /proc/self/smaps_rollup walks the page tables and is
// exact.
long ProcKib(const char* path, const char* field) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, field, length) == 0) {
      value = std::strtol(line + length, nullptr, 10);
      break;
    }
  }
  std::fclose(file);
  return value;
}

void Usage() {
  std::fprintf(stderr,
               "usage: s3_fetch_loop [--count N] [--sample N[,N...]] [--bucket B] "
               "[--key K] [--region R] [--handle kept|fresh] [--ca FILE] "
               "[--image VERSION [--today] [--image-path P]]\n");
}

S3Credentials EnvironmentCredentials() {
  const char* key_id = std::getenv("AWS_ACCESS_KEY_ID");
  const char* secret = std::getenv("AWS_SECRET_ACCESS_KEY");
  return S3Credentials(key_id ? key_id : "", secret ? secret : "");
}

// Image downloads, one per check, until one completes or `count` ran.
int ImageLoop(const std::string& region, const std::string& bucket, const std::string& version,
              bool today, const std::string& image_path, long count, S3Handle& handle) {
  const std::string key = "Version_" + version + ".hex";
  for (long i = 1; i <= count; ++i) {
    const int64_t wall_start = Nanoseconds(CLOCK_MONOTONIC);
    S3Client client(region, EnvironmentCredentials(), S3Endpoint(SiteSettingsFromEnvironment()),
                    &handle);
    std::string image;
    std::string error;
    if (today) {
      S3Client::Object object = client.GetObject(bucket, key, kImageLimits);
      if (object.ok) image = std::move(object.body);
      error = object.error;
    } else {
      const Status status =
          DownloadImage(client, bucket, image_path, key.c_str(), version.c_str(), &image);
      error = status.ok() ? std::string() : status.reason();
    }
    const bool ok = error.empty();
    std::printf("{\"check\":%ld,\"ok\":%s,\"bytes\":%zu,\"wall_ns\":%lld}\n", i,
                ok ? "true" : "false", image.size(),
                static_cast<long long>(Nanoseconds(CLOCK_MONOTONIC) - wall_start));
    std::fflush(stdout);
    if (ok) return 0;
    std::fprintf(stderr, "check %ld: %s\n", i, error.c_str());
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 100;
  std::set<long> samples{10, 100};
  std::string bucket = "networkproxy-firmware";
  std::string key = "update.txt";
  std::string region = "ap-southeast-2";
  S3Handle::Reuse reuse = S3Handle::Reuse::kKeep;
  std::string ca_file;
  std::string image_version;
  std::string image_path = "bench-image.hex";
  bool today = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--today") {
      today = true;
      continue;
    }
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    const char* value = argv[++i];
    if (option == "--count") {
      count = std::strtol(value, nullptr, 10);
    } else if (option == "--sample") {
      samples.clear();
      for (const char* p = value; *p != '\0';) {
        char* end = nullptr;
        long n = std::strtol(p, &end, 10);
        if (end == p) break;
        samples.insert(n);
        p = (*end == ',') ? end + 1 : end;
      }
    } else if (option == "--bucket") {
      bucket = value;
    } else if (option == "--key") {
      key = value;
    } else if (option == "--region") {
      region = value;
    } else if (option == "--handle" && (std::strcmp(value, "kept") == 0 ||
                                        std::strcmp(value, "fresh") == 0)) {
      reuse = std::strcmp(value, "kept") == 0 ? S3Handle::Reuse::kKeep
                                              : S3Handle::Reuse::kFreshPerRequest;
    } else if (option == "--ca") {
      ca_file = value;
    } else if (option == "--image") {
      image_version = value;
    } else if (option == "--image-path") {
      image_path = value;
    } else {
      Usage();
      return 2;
    }
  }
  if (count < 1) {
    Usage();
    return 2;
  }

  // As in the daemon: global set-up once, before any request.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int failures = 0;
  // Released before the global clean-up.
  std::unique_ptr<S3Handle> handle(new S3Handle(reuse, ca_file));
  if (!image_version.empty()) {
    failures = ImageLoop(region, bucket, image_version, today, image_path, count, *handle);
  }
  for (long i = 1; image_version.empty() && i <= count; ++i) {
    const int64_t wall_start = Nanoseconds(CLOCK_MONOTONIC);
    const int64_t cpu_start = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    // A client per fetch over the loop's handle, and the version taken out
    // of the body, like one firmware check whose versions match.
    S3Client client(region, EnvironmentCredentials(), S3Endpoint(SiteSettingsFromEnvironment()),
                    handle.get());
    S3Client::Object object = client.GetObject(bucket, key, kVersionFileLimits);
    char published[32] = {0};
    if (object.ok) ReadPublishedVersion(object.body, published);
    const int64_t cpu_ns = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    const int64_t wall_ns = Nanoseconds(CLOCK_MONOTONIC) - wall_start;
    if (!object.ok) ++failures;
    std::printf("{\"fetch\":%ld,\"ok\":%s,\"wall_ns\":%lld,\"cpu_ns\":%lld,\"status\":%ld}\n", i,
                object.ok ? "true" : "false", static_cast<long long>(wall_ns),
                static_cast<long long>(cpu_ns), object.http_status);
    if (!object.ok) std::fprintf(stderr, "fetch %ld failed: %s\n", i, object.error.c_str());
    if (samples.count(i) != 0) {
      std::printf(
          "{\"after\":%ld,\"vmrss_kib\":%ld,\"rssanon_kib\":%ld,\"exact_rss_kib\":%ld,"
          "\"exact_anon_kib\":%ld}\n",
          i, ProcKib("/proc/self/status", "VmRSS:"), ProcKib("/proc/self/status", "RssAnon:"),
          ProcKib("/proc/self/smaps_rollup", "Rss:"),
          ProcKib("/proc/self/smaps_rollup", "Anonymous:"));
    }
    std::fflush(stdout);
  }
  // The daemon never gets this far; cleaning up here means a leak checker run
  // on this program reports only what the fetches themselves lost.
  handle.reset();
  curl_global_cleanup();
  return failures == 0 ? 0 : 1;
}
