// The firmware check's own decisions: which published version counts,
// which may name an image, when an earlier hand-off holds back another,
// the hold after failed installs, and the floor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <string>

#include "FirmwareCheck.h"
#include "FirmwareFloor.h"
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

namespace {

// A record of two lines is what daemons before install outcomes wrote, and
// what the update script reads: still a record, a first hand-off, pending.
TEST_F(HandOffGuardTest, RecordKeepsAttemptsAndResultAndReadsTheOldForm) {
  ASSERT_TRUE(WriteHandOffRecord(kHandOffRecordFile, {"1.0.9", 1700000000, 2, kHandOffFailed}).ok());
  HandOffRecord record;
  ASSERT_TRUE(ReadHandOffRecord(kHandOffRecordFile, &record));
  EXPECT_EQ(record.attempts, 2);
  EXPECT_EQ(record.result, kHandOffFailed);
  std::ifstream written(kHandOffRecordFile);
  std::string first;
  std::getline(written, first);
  EXPECT_EQ(first, "1.0.9");

  const struct {
    const char* text;
    bool read;
    int attempts;
    const char* result;
  } cases[] = {
      {"1.0.9\n1700000000\n", true, 1, kHandOffPending},
      {"1.0.9\n1700000000\n3\ninstalled\n", true, 3, kHandOffInstalled},
      {"1.0.9\n1700000000\n0\nfailed\n", false, 0, ""},
      {"1.0.9\n1700000000\nthree\nfailed\n", false, 0, ""},
      {"1.0.9\n1700000000\n2\nflashed\n", false, 0, ""},
      {"1.0.9\n1700000000\n2\n", false, 0, ""},
  };
  for (const auto& c : cases) {
    HandOffRecord parsed;
    EXPECT_EQ(ParseHandOffRecord(c.text, &parsed), c.read) << c.text;
    if (!c.read) continue;
    EXPECT_EQ(parsed.attempts, c.attempts) << c.text;
    EXPECT_EQ(parsed.result, c.result) << c.text;
  }
}

TEST(InstallAttempts, ThirdFailureHoldsAndAnEndedHoldStartsAfresh) {
  const HandOffRecord second_failed{"1.0.9", 0, 2, kHandOffFailed};
  const HandOffRecord third_failed{"1.0.9", 0, 3, kHandOffFailed};
  const HandOffRecord third_pending{"1.0.9", 0, 3, kHandOffPending};
  EXPECT_EQ(NextHandOffAttempt(nullptr, "1.0.9"), 1);
  EXPECT_EQ(NextHandOffAttempt(&second_failed, "1.0.9"), 3);
  EXPECT_EQ(NextHandOffAttempt(&second_failed, "1.0.10"), 1);
  // Handed off again after three failures: the hold was ended.
  EXPECT_EQ(NextHandOffAttempt(&third_failed, "1.0.9"), 1);
  EXPECT_FALSE(ShouldHold(second_failed));
  EXPECT_TRUE(ShouldHold(third_failed));
  EXPECT_FALSE(ShouldHold(third_pending));
}

// The tool ends a hold as root in a folder the service user writes.
TEST_F(HandOffGuardTest, EndingAHoldRemovesNoLinkedFile) {
  std::ofstream("target") << "keep\n";
  ASSERT_EQ(symlink("target", kHeldVersionFile), 0);
  EXPECT_EQ(ReadHeldVersion(kHeldVersionFile), "");
  EXPECT_FALSE(EndHold(kHeldVersionFile).ok());
  EXPECT_EQ(access("target", F_OK), 0);
  ASSERT_EQ(unlink(kHeldVersionFile), 0);

  EXPECT_TRUE(EndHold(kHeldVersionFile).ok()) << "no hold is no error";
  ASSERT_TRUE(HoldVersion(kHeldVersionFile, "1.0.9").ok());
  EXPECT_EQ(ReadHeldVersion(kHeldVersionFile), "1.0.9");
  EXPECT_TRUE(EndHold(kHeldVersionFile).ok());
  EXPECT_EQ(ReadHeldVersion(kHeldVersionFile), "");
}

class FirmwareFloorTest : public ::testing::Test {
 protected:
  TempWorkingDir cwd_{"np-floor"};
};

TEST_F(FirmwareFloorTest, DamagedFloorIsReportedAndTakenAsNone) {
  FloorReading none = ReadFirmwareFloor(kFirmwareFloorFile);
  EXPECT_TRUE(none.problem.ok());
  EXPECT_EQ(none.version, "");
  ASSERT_TRUE(WriteFirmwareFloor(kFirmwareFloorFile, "1.0.10").ok());
  EXPECT_EQ(ReadFirmwareFloor(kFirmwareFloorFile).version, "1.0.10");

  for (const char* text : {"v1.0.8\n", "\n", "1.0.8 \n"}) {
    std::ofstream(kFirmwareFloorFile) << text;
    const FloorReading damaged = ReadFirmwareFloor(kFirmwareFloorFile);
    EXPECT_EQ(damaged.version, "") << text;
    EXPECT_EQ(damaged.problem.reason(), "no release number in it") << text;
  }
  ASSERT_EQ(unlink(kFirmwareFloorFile), 0);
  ASSERT_EQ(mkdir(kFirmwareFloorFile, 0700), 0);
  EXPECT_EQ(ReadFirmwareFloor(kFirmwareFloorFile).problem.reason(), "Is a directory");
}

TEST(FirmwareFloor, RaisedOnlyByANewerRelease) {
  EXPECT_EQ(RaisedFloor("", "1.0.8"), "1.0.8");
  EXPECT_EQ(RaisedFloor("1.0.8", "1.0.10"), "1.0.10");
  EXPECT_EQ(RaisedFloor("1.0.10", "1.0.9"), "1.0.10");
  EXPECT_EQ(RaisedFloor("1.0.9", "1.0.9-rc.1"), "1.0.9");
  EXPECT_EQ(RaisedFloor("1.0.8", "1.0.9a"), "1.0.8");
  EXPECT_EQ(RaisedFloor("", ""), "");
}

}  // namespace
