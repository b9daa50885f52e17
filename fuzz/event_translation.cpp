// Arbitrary event payloads through mappify and EncodeEvent, into buffers of
// every capacity from 1 byte to the daemon's own.
//
// Input: one byte choosing the site identity and a small capacity, then the
// payload (NUL bytes dropped: a payload is a C string cut from a line).
//
// Oracle: the whole event object is valid JSON (strict parser) whose
// members are exactly the event map, as a server reads them: each byte that
// is not part of well-formed UTF-8 arrives as the character of that value; an object from a payload that fits the
// serial worker's line is never cut by the daemon's buffer; in any smaller
// buffer the object is its own prefix, cut to capacity - 1 and terminated,
// with nothing written past the capacity (ASan, exact-size buffers).
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>

#include "EventTranslation.h"
#include "ReportExchange.h"
#include "SerialWorker.h"
#include "fuzz_support.h"

namespace {

// Identities the gateway may speak for: a host name, and the first word of
// a site_id.txt, which may hold any byte but white space.
const char* const kSiteIds[] = {
    "SITE7",
    "q\"uo\\te\x01\x7f\xff",
    "0123456789012345678901234567890",  // the longest that fits
    "Unknown ID",
};

std::string Encode(const char* site_id, const std::string& payload, std::size_t capacity) {
  // Exact size, filled with a marker, so a byte past the end is an ASan
  // report and an unterminated result shows.
  std::unique_ptr<char[]> out(new char[capacity]);
  std::memset(out.get(), 'Z', capacity);
  EncodeEvent(payload.c_str(), site_id, out.get(), capacity);
  const void* nul = std::memchr(out.get(), '\0', capacity);
  FUZZ_CHECK(nul != nullptr);
  return std::string(out.get(), static_cast<const char*>(nul) - out.get());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  WorkInScratchDirectoryWithoutLog(argc, argv);
  return 0;
}

namespace {

// `text` as a JSON reader sees it after escaping: well-formed UTF-8 as it
// is, any other byte b as the character U+00b (two bytes in UTF-8).
std::string AsReadByServer(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3
                                 : (b & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = n != 0 && i + n <= text.size();
    for (std::size_t k = 1; ok && k < n; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= kSmallest[n] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (ok) {
      out.append(text, i, n);
      i += n;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
      ++i;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return -1;
  const uint8_t config = data[0];
  const char* const site_id = kSiteIds[config & 3];
  std::string payload;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] != '\0') payload += static_cast<char>(data[i]);
  }

  const std::map<std::string, std::string> event = mappify(payload.c_str(), site_id);

  // Room for anything: each byte can come out twice, six-fold escaped.
  const std::size_t room = 12 * payload.size() + 6 * std::strlen(site_id) + 64;
  const std::string whole = Encode(site_id, payload, room);
  FUZZ_CHECK(whole.size() < room - 1);

  // A stray byte and the character of the same value are one key to the
  // server; such a pair is allowed to read as a duplicate key.
  std::set<std::string> server_keys;
  for (const auto& member : event) server_keys.insert(AsReadByServer(member.first));
  const bool distinct_keys = server_keys.size() == event.size();

  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  if (!distinct_keys) builder.settings_["rejectDupKeys"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value object;
  std::string errors;
  const bool parsed =
      reader->parse(whole.data(), whole.data() + whole.size(), &object, &errors);
  if (!parsed) std::fprintf(stderr, "not JSON: %s\n%s\n", errors.c_str(), whole.c_str());
  FUZZ_CHECK(parsed);
  FUZZ_CHECK(object.isObject());
  FUZZ_CHECK(object.size() == server_keys.size());
  for (const auto& member : event) {
    if (!distinct_keys) break;
    const std::string key = AsReadByServer(member.first);
    const Json::Value* value = object.find(key.data(), key.data() + key.size());
    FUZZ_CHECK(value != nullptr);
    FUZZ_CHECK(value->isString());
    FUZZ_CHECK(value->asString() == AsReadByServer(member.second));
  }

  // What a line that fits the serial worker's buffer can carry is posted
  // whole: the payload starts at the line's third character.
  if (payload.size() <= kSerialResponseBufferSize - 3) {
    FUZZ_CHECK(whole.size() < kEventObjectCapacity);
  }

  const std::size_t capacities[] = {1, 2, 3u + (config >> 2), 2048,
                                    kEventObjectCapacity};
  for (std::size_t capacity : capacities) {
    const std::string cut = Encode(site_id, payload, capacity);
    FUZZ_CHECK(cut.size() == std::min(whole.size(), capacity - 1));
    FUZZ_CHECK(whole.compare(0, cut.size(), cut) == 0);
  }
  return 0;
}
