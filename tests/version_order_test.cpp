// The order that decides a downgrade: a wrong answer either flashes an old
// image onto a site or refuses every genuine update.
#include "VersionOrder.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionOrderTest, SuffixesAndPrefixesAreNotReleaseNumbers) {
  const struct {
    const char* version;
    bool release;
  } cases[] = {
      {"1", true},
      {"1.0.9", true},
      {"1.0.9-rc1", true},
      {"1.0.9-rc.1", true},
      {"1.0.9-rc-1.x-y.0", true},
      {"1.0.99999999999999999999", true},
      {"1.0.9a", false},   // a suffix glued to a number
      {"v1.0.0", false},   // a prefix
      {"1.0.8+b1", false}, // build metadata
      {"", false},
      {"1..0", false},
      {"1.0.", false},
      {".1", false},
      {"1.0-", false},
      {"1.0-rc..1", false},
      {"1.0-rc.", false},
      {"-rc1", false},
      {"1.0-rc_1", false},
      {"1.0 ", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsReleaseNumber(c.version), c.release) << "'" << c.version << "'";
  }
}

// Each pair is checked both ways round: a < b and b > a.
TEST(VersionOrderTest, OlderReleasesSortFirstEitherWayRound) {
  const struct {
    const char* a;
    const char* b;
    int order;  // sign of CompareVersions(a, b)
  } cases[] = {
      {"1.0.9", "1.0.10", -1},       // numbers, not text
      {"1.9.9", "2.0", -1},          // the first field decides
      {"1.0.8", "1.0.8.1", -1},      // a missing field is 0 ...
      {"1.0", "1.0.0", 0},           // ... so these are equal
      {"1.0.08", "1.0.8", 0},        // leading zeros do not count
      {"1.0.8", "1.0.8", 0},
      {"1.0.9-rc1", "1.0.9", -1},    // a pre-release before its release
      {"1.0.9-rc.1", "1.0.9", -1},
      {"1.0.8", "1.0.9-rc.1", -1},   // but after the release before
      {"1.0-rc.1", "1.0.0-rc.1", 0},
      {"1.0.9-alpha", "1.0.9-alpha.1", -1},  // more fields is newer
      {"1.0.9-alpha.1", "1.0.9-alpha.beta", -1},  // a number below text
      {"1.0.9-beta.2", "1.0.9-beta.11", -1},      // numbers as numbers
      {"1.0.9-alpha", "1.0.9-beta", -1},          // text as ASCII
      {"1.0.9-RC1", "1.0.9-rc1", -1},
      {"1.0.9-rc.1", "1.0.9-rc1", -1},
      {"1.0.9", "1.0.99999999999999999999", -1},  // beyond 64 bits
      {"1.0.18446744073709551616", "1.0.18446744073709551617", -1},
      {"1.0.9-rc.18446744073709551616", "1.0.9-rc.18446744073709551617", -1},
      {"v1.0.0", "0.0.1", -1},       // not a release number: below every release
      {"1.0.9a", "1.0.9", -1},
      {"1.0.9a", "1.0.10", -1},
      {"v1.0.0", "9.9.9", -1},
  };
  for (const auto& c : cases) {
    const int forward = CompareVersions(c.a, c.b);
    const int backward = CompareVersions(c.b, c.a);
    EXPECT_EQ((forward > 0) - (forward < 0), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ((backward > 0) - (backward < 0), -c.order) << c.b << " vs " << c.a;
  }
}

}  // namespace
