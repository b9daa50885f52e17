#include "EventStamp.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <ctime>

bool NewEventKey(std::string* key) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char text[37] = {0};
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                bytes[15]);
  *key = text;
  return true;
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string Rfc3339Utc(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  if (ms < 0 && ms % 1000 != 0) --seconds;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32] = {0};
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
