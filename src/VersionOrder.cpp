#include "VersionOrder.h"

#include <cstddef>
#include <vector>

namespace {

bool IsSeparator(char c) { return c == '.' || c == '-' || c == '+'; }

std::vector<std::string> Fields(const std::string& version) {
  std::vector<std::string> fields(1);
  for (char c : version) {
    if (IsSeparator(c)) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

bool AllDigits(const std::string& field) {
  if (field.empty()) return false;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Two digit strings as numbers of any length: without leading zeros, the
// longer is the larger, and equal lengths compare as text.
int CompareNumbers(const std::string& a, const std::string& b) {
  const std::size_t a_start = a.find_first_not_of('0');
  const std::size_t b_start = b.find_first_not_of('0');
  const std::string a_digits = a_start == std::string::npos ? "" : a.substr(a_start);
  const std::string b_digits = b_start == std::string::npos ? "" : b.substr(b_start);
  if (a_digits.size() != b_digits.size()) return a_digits.size() < b_digits.size() ? -1 : 1;
  return a_digits.compare(b_digits);
}

}  // namespace

int CompareVersions(const std::string& a, const std::string& b) {
  const std::vector<std::string> a_fields = Fields(a);
  const std::vector<std::string> b_fields = Fields(b);
  const std::size_t shared = a_fields.size() < b_fields.size() ? a_fields.size() : b_fields.size();
  for (std::size_t i = 0; i < shared; ++i) {
    const std::string& x = a_fields[i];
    const std::string& y = b_fields[i];
    // std::string::compare orders by unsigned bytes (char_traits<char>).
    const int order = AllDigits(x) && AllDigits(y) ? CompareNumbers(x, y) : x.compare(y);
    if (order != 0) return order < 0 ? -1 : 1;
  }
  if (a_fields.size() == b_fields.size()) return 0;
  return a_fields.size() < b_fields.size() ? -1 : 1;
}
