// Arbitrary bytes as the published version file: ReadPublishedVersion, the
// comparison with the controller's version, BuildImageKey and the URL the
// image is then fetched from.
//
// Input: the controller's version text up to the first 0xFF byte (at most
// 31 bytes, NULs dropped), then the file's bytes.
//
// Oracle: the published version is the file's first line without a leading
// byte-order mark and trailing blanks and CRs, cut to 31 bytes and
// terminated; it is usable exactly when it is a non-empty run of
// A-Z a-z 0-9 . _ + -; the image key is
// "Version_<published>.hex"; the image URL carries nothing but unreserved
// bytes and percent escapes after the endpoint, whatever the file held.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "NetworkProxy.h"
#include "S3Client.h"
#include "fuzz_support.h"

namespace {
const char kEndpoint[] = "http://127.0.0.1:1";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* mark = std::memchr(bytes, 0xFF, size);
  const std::size_t split = mark ? static_cast<const char*>(mark) - bytes : 0;
  std::string controller;
  for (std::size_t i = 0; i < split && controller.size() < 31; ++i) {
    if (bytes[i] != '\0') controller += bytes[i];
  }
  const std::size_t file_start = mark ? split + 1 : 0;
  const std::string file(bytes + file_start, size - file_start);

  char published[32];
  std::memset(published, 'Z', sizeof published);
  ReadPublishedVersion(file, published);

  std::string line = file.substr(0, file.find('\n'));
  if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
    line.pop_back();
  }
  line.resize(std::min(line.size(), sizeof published - 1));
  FUZZ_CHECK(std::memcmp(published, line.data(), line.size()) == 0);
  for (std::size_t i = line.size(); i < sizeof published; ++i) {
    FUZZ_CHECK(published[i] == '\0');
  }

  // The comparison the update check makes: equal texts, whatever follows a
  // NUL inside the file's line.
  char controller_version[32] = {0};
  std::memcpy(controller_version, controller.data(), controller.size());
  const bool match = std::strncmp(published, controller_version, sizeof published) == 0;
  FUZZ_CHECK(match == (std::string(published) == controller));

  // The version is text: a NUL in the file's line ends it.
  const std::string text = line.substr(0, line.find('\0'));
  const bool usable = !text.empty() && text.find_first_not_of(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-") == std::string::npos;
  FUZZ_CHECK(IsUsableVersion(published) == usable);

  char key[64];
  std::memset(key, 'Z', sizeof key);
  BuildImageKey(published, key);
  const std::string expected_key = "Version_" + std::string(published) + ".hex";
  FUZZ_CHECK(std::memchr(key, '\0', sizeof key) != nullptr);
  FUZZ_CHECK(expected_key == key);

  const std::string url = S3Client("ap-southeast-2", S3Credentials(), kEndpoint).ObjectUrl("networkproxy-firmware", key);
  const std::string prefix = std::string(kEndpoint) + "/networkproxy-firmware/";
  FUZZ_CHECK(url.compare(0, prefix.size(), prefix) == 0);
  for (std::size_t i = prefix.size(); i < url.size(); ++i) {
    const char c = url[i];
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                       c == '~' || c == '/' || c == '%';
    FUZZ_CHECK(plain);
  }
  return 0;
}
