// EventTranslation: an event payload ("k=v,k=v,...") becomes the flat JSON
// object posted to the reporting server.
//
// Pure functions of their input; any thread may call them.
#ifndef NETWORKPROXY_EVENTTRANSLATION_H_
#define NETWORKPROXY_EVENTTRANSLATION_H_

#include <cstddef>
#include <map>
#include <string>

// Largest event object a line that fits the serial worker's 1024-byte buffer
// can give: every payload byte may appear twice (key and value of a token
// without "=") and expand six-fold when escaped, plus the members'
// punctuation and the site identity. Objects are never cut at this size.
constexpr std::size_t kEventObjectCapacity = 16384;

// Parses an event payload into the event map, rewriting the door/boot/auth
// flags and replacing any "mac" value by `site_id`. `payload` must be
// non-null and NUL-terminated; it is not retained.
std::map<std::string, std::string> mappify(const char* payload, const std::string& site_id);

// Writes `text` as the body of a JSON string (without the surrounding quotes)
// onto `out`: '"', '\\' and control characters are escaped, well-formed UTF-8
// is copied unchanged, and each byte that is not part of a well-formed UTF-8
// sequence becomes the \u00XX escape of its value.
void AppendJsonEscaped(std::string& out, const std::string& text);

// The event object of `payload`: its members in key order, as
// {"k": "v","k2": "v2"}.
std::string EventObject(const char* payload, const std::string& site_id);

#endif  // NETWORKPROXY_EVENTTRANSLATION_H_
