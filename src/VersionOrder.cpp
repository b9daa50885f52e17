#include "VersionOrder.h"

#include <cstddef>
#include <vector>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsIdentifierChar(char c) {
  return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
}

bool AllDigits(const std::string& field) {
  for (char c : field) {
    if (!IsDigit(c)) return false;
  }
  return !field.empty();
}

// `text` split at '.'; an empty text is one empty field.
std::vector<std::string> SplitAtDots(const std::string& text) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == '.') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

struct Parts {
  std::vector<std::string> release;     // the N fields
  std::vector<std::string> prerelease;  // the P fields; empty for a release
};

// False when `version` is not a release number.
bool Split(const std::string& version, Parts* out) {
  const std::size_t dash = version.find('-');
  out->release = SplitAtDots(version.substr(0, dash));
  for (const std::string& field : out->release) {
    if (!AllDigits(field)) return false;
  }
  out->prerelease.clear();
  if (dash == std::string::npos) return true;
  out->prerelease = SplitAtDots(version.substr(dash + 1));
  for (const std::string& field : out->prerelease) {
    if (field.empty()) return false;
    for (char c : field) {
      if (!IsIdentifierChar(c)) return false;
    }
  }
  return true;
}

int Sign(int value) { return (value > 0) - (value < 0); }

// Two digit strings as numbers of any length: without leading zeros, the
// longer is the larger, and equal lengths compare as text. An empty string
// is 0.
int CompareNumbers(const std::string& a, const std::string& b) {
  const std::size_t a_start = a.find_first_not_of('0');
  const std::size_t b_start = b.find_first_not_of('0');
  const std::string a_digits = a_start == std::string::npos ? "" : a.substr(a_start);
  const std::string b_digits = b_start == std::string::npos ? "" : b.substr(b_start);
  if (a_digits.size() != b_digits.size()) return a_digits.size() < b_digits.size() ? -1 : 1;
  return Sign(a_digits.compare(b_digits));
}

int CompareReleaseFields(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  const std::size_t longest = a.size() > b.size() ? a.size() : b.size();
  static const std::string kZero;
  for (std::size_t i = 0; i < longest; ++i) {
    const int order = CompareNumbers(i < a.size() ? a[i] : kZero, i < b.size() ? b[i] : kZero);
    if (order != 0) return order;
  }
  return 0;
}

int ComparePrereleaseFields(const std::vector<std::string>& a,
                            const std::vector<std::string>& b) {
  // No pre-release is the release itself, newer than any of its pre-releases.
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
  const std::size_t shared = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < shared; ++i) {
    const bool a_number = AllDigits(a[i]);
    const bool b_number = AllDigits(b[i]);
    int order;
    if (a_number && b_number) {
      order = CompareNumbers(a[i], b[i]);
    } else if (a_number != b_number) {
      order = a_number ? -1 : 1;
    } else {
      order = Sign(a[i].compare(b[i]));  // ASCII: only [0-9A-Za-z-] here
    }
    if (order != 0) return order;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool IsReleaseNumber(const std::string& version) {
  Parts parts;
  return Split(version, &parts);
}

int CompareVersions(const std::string& a, const std::string& b) {
  Parts a_parts;
  Parts b_parts;
  const bool a_release = Split(a, &a_parts);
  const bool b_release = Split(b, &b_parts);
  if (!a_release || !b_release) {
    if (a_release != b_release) return a_release ? 1 : -1;
    return Sign(a.compare(b));
  }
  const int order = CompareReleaseFields(a_parts.release, b_parts.release);
  if (order != 0) return order;
  return ComparePrereleaseFields(a_parts.prerelease, b_parts.prerelease);
}
