// The firmware check's own decisions: which published version counts,
// which may name an image, and when an earlier hand-off holds back another.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>

#include "FirmwareCheck.h"
#include "HandOffGuard.h"
#include "temp_cwd.h"

namespace {

std::string Published(const std::string& file) {
  char out[32];
  ReadPublishedVersion(file, out);
  return out;
}

TEST(PublishedVersion, InvisibleMarkAndBlanksDoNotCauseAMismatch) {
  EXPECT_EQ(Published("1.0.8 \n"), "1.0.8");
  EXPECT_EQ(Published("1.0.8\t \r\nnotes"), "1.0.8");
  EXPECT_EQ(Published("\xEF\xBB\xBF" "1.0.8\n"), "1.0.8");
  EXPECT_EQ(Published("\xEF\xBB\xBF" "1.0.8   "), "1.0.8");
  // Only a leading mark and trailing blanks go.
  EXPECT_EQ(Published(" 1.0.8\n"), " 1.0.8");
}

TEST(PublishedVersion, OnlyPlainVersionTextMayNameAnImage) {
  EXPECT_TRUE(IsUsableVersion("1.0.8"));
  EXPECT_TRUE(IsUsableVersion("2.0.0-rc1+build_7"));
  EXPECT_FALSE(IsUsableVersion("/../../other-bucket/evil"));
  EXPECT_FALSE(IsUsableVersion("1.0.8 beta"));
  EXPECT_FALSE(IsUsableVersion("1.0%2F8"));
  EXPECT_FALSE(IsUsableVersion("\xEF\xBB\xBF" "1.0.8"));
  EXPECT_FALSE(IsUsableVersion(""));
}

class HandOffGuardTest : public ::testing::Test {
 protected:
  TempWorkingDir cwd_{"np-handoff"};
};

TEST_F(HandOffGuardTest, SameVersionWithinTheHourIsHeldBackAcrossRestarts) {
  const std::time_t then = 1700000000;
  ASSERT_TRUE(WriteHandOffRecord(kHandOffRecordFile, {"1.0.9", then}).ok());
  HandOffRecord record;
  ASSERT_TRUE(ReadHandOffRecord(kHandOffRecordFile, &record));
  EXPECT_EQ(record.version, "1.0.9");
  EXPECT_EQ(record.time, then);

  EXPECT_TRUE(HandOffHeldBack(record, "1.0.9", then + 60));
  EXPECT_TRUE(HandOffHeldBack(record, "1.0.9", then + 3599));
  EXPECT_FALSE(HandOffHeldBack(record, "1.0.9", then + 3600));
  EXPECT_FALSE(HandOffHeldBack(record, "1.1.0", then + 60));
  // A clock set back a little still holds; one far off does not for ever.
  EXPECT_TRUE(HandOffHeldBack(record, "1.0.9", then - 60));
  EXPECT_FALSE(HandOffHeldBack(record, "1.0.9", then - 86400));
}

TEST_F(HandOffGuardTest, MissingOrDamagedRecordHoldsNothingBack) {
  HandOffRecord record;
  EXPECT_FALSE(ReadHandOffRecord(kHandOffRecordFile, &record));
  std::ofstream(kHandOffRecordFile) << "1.0.9\nnot a time\n";
  EXPECT_FALSE(ReadHandOffRecord(kHandOffRecordFile, &record));
  std::ofstream(kHandOffRecordFile) << "1.0.9\n";
  EXPECT_FALSE(ReadHandOffRecord(kHandOffRecordFile, &record));
}

}  // namespace
