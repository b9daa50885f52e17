#include "EventTranslation.h"

#include <cstdio>
#include <sstream>


namespace {

// Length of the well-formed UTF-8 sequence that starts at text[at], or 0
// when the bytes there are not one (a stray continuation byte, a cut
// sequence, an overlong form, a surrogate or a code point above U+10FFFF).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

void AppendUnicodeEscape(std::string& out, unsigned char value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", value);
  out += escaped;
}

}  // namespace

void AppendJsonEscaped(std::string& out, const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      // A strict JSON reader rejects the whole object for one such byte:
      // send the byte's value instead.
      AppendUnicodeEscape(out, c);
      ++i;
      continue;
    }
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20) {
      AppendUnicodeEscape(out, c);
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
}

std::map<std::string, std::string> mappify(const char* payload, const std::string& site_id) {
  std::map<std::string, std::string> event;
  std::istringstream stream{std::string(payload)};
  std::string token;
  while (std::getline(stream, token, ',')) {
    std::string key = token;
    std::string value = token;
    std::size_t equals = token.find('=');
    if (equals != std::string::npos) {
      key = token.substr(0, equals);
      value = token.substr(equals + 1);
    }
    // "door" reports the contact (0 = open), so it maps the other way
    // round from "boot" and "auth".
    if (key == "door") {
      if (value == "0") value = "t";
      else if (value == "1") value = "f";
    } else if (key == "boot" || key == "auth") {
      if (value == "1") value = "t";
      else if (value == "0") value = "f";
    }
    // The gateway, not the controller, speaks for the site's identity.
    if (key == "mac") value = site_id;
    event[key] = value;
  }
  return event;
}

std::string EventObject(const char* payload, const std::string& site_id) {
  std::map<std::string, std::string> event = mappify(payload, site_id);
  std::string text = "{";
  bool first = true;
  for (const auto& member : event) {
    if (!first) text += ',';
    first = false;
    text += '"';
    AppendJsonEscaped(text, member.first);
    text += "\": \"";
    AppendJsonEscaped(text, member.second);
    text += '"';
  }
  text += '}';
  return text;
}
