#include "EventTranslation.h"

#include <cstdio>
#include <sstream>

#include "Settings.h"

void AppendJsonEscaped(std::string& out, const std::string& text) {
  for (unsigned char c : text) {
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::map<std::string, std::string> mappify(const char* payload) {
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

std::string EventObject(const char* payload) {
  std::map<std::string, std::string> event = mappify(payload);
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
