#include "SafeReason.h"

#include <cstdlib>

#include "Credentials.h"

namespace {

constexpr const char* kRedacted = "[redacted]";

// Characters that end a query or a signature value inside running text.
bool EndsValue(char c) {
  return c == ' ' || c == '\t' || c == '"' || c == '\'' || c == ',' || c == ';' ||
         c == '<' || c == '>' || c == ')';
}

void ReplaceAll(std::string& text, std::string_view what) {
  if (what.empty()) return;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + std::char_traits<char>::length(kRedacted))) {
    text.replace(at, what.size(), kRedacted);
  }
}

// Replaces the value that follows each `marker` up to the next delimiter.
void RedactAfter(std::string& text, const std::string& marker) {
  for (std::size_t at = text.find(marker); at != std::string::npos;) {
    std::size_t begin = at + marker.size();
    std::size_t end = begin;
    while (end < text.size() && !EndsValue(text[end])) ++end;
    text.replace(begin, end - begin, kRedacted);
    at = text.find(marker, begin + std::char_traits<char>::length(kRedacted));
  }
}

bool IsBlank(std::string_view s) { return s.find_first_not_of(' ') == std::string_view::npos; }

}  // namespace

std::string SafeReason(const std::string& reason, const std::vector<std::string_view>& secrets) {
  std::string text = reason;
  for (std::string_view secret : secrets) {
    if (!IsBlank(secret)) ReplaceAll(text, secret);
  }
  // A presigned URL carries its signature and credential in the query; a
  // header dump carries "Signature=<hex>". Neither part helps an operator.
  RedactAfter(text, "?");
  RedactAfter(text, "Signature=");
  RedactAfter(text, "Credential=");
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  if (text.size() > kMaxReasonLength) text.resize(kMaxReasonLength);
  return text;
}

std::string FailureLine(const char* line, const std::string& reason,
                        std::initializer_list<std::string_view> in_use) {
  std::vector<std::string_view> secrets(in_use);
  secrets.push_back(kSecretAccessKey);
  secrets.push_back(kAccessKeyId);
  std::string text = line;
  const std::string safe = SafeReason(reason, secrets);
  if (!safe.empty()) text += " - " + safe;
  return text;
}
