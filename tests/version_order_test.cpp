// The order that decides a downgrade: a wrong answer either flashes an old
// image onto a site or refuses every genuine update.
#include "VersionOrder.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionOrderTest, NewerOlderAndEqualAsReleasesAreNumbered) {
  const struct {
    const char* a;
    const char* b;
    int order;  // sign of CompareVersions(a, b)
  } cases[] = {
      {"1.0.10", "1.0.9", 1},       // numbers, not text
      {"1.0.9", "1.0.10", -1},
      {"2.0", "1.9.9", 1},          // the first field decides
      {"1.0.8-2", "1.0.8-10", -1},  // '-' splits too
      {"1.0.8", "1.0.8.1", -1},     // fewer fields is older
      {"1.0.8.1", "1.0.8", 1},
      {"1.0.8", "1.0.8", 0},
      {"1.0.08", "1.0.8", 0},       // leading zeros do not count
      {"1.0.8+b1", "1.0.8+b2", -1}, // text fields as bytes
      {"1.0.8-rc1", "1.0.8-10", 1}, // a letter sorts after a digit
      {"1.0.99999999999999999999", "1.0.9", 1},  // beyond any integer type
  };
  for (const auto& c : cases) {
    const int got = CompareVersions(c.a, c.b);
    EXPECT_EQ((got > 0) - (got < 0), c.order) << c.a << " vs " << c.b;
  }
}

}  // namespace
