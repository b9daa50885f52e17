// The record of a cut download: appending the wrong bytes to it would hand
// off a corrupt image's worth of work to the checks, or never finish; a
// record that lies about its part would resume at the wrong byte.
#include "PartialDownload.h"

#include <sys/stat.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "temp_cwd.h"

namespace {

const char kImage[] = "FirmwareImage.cpp.hex";
const char kEtag[] = "\"9b2cf535f27731c974343645a3985328\"";

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(PartialDownloadTest, ResumesOnlyAnAnswerThatContinuesThePartHeld) {
  HeldPart part;
  part.etag = kEtag;
  part.total = 1048576;
  part.size = 32768;
  const struct {
    long status;
    const char* content_range;
    ResumeAnswer answer;
  } cases[] = {
      {206, "bytes 32768-1048575/1048576", ResumeAnswer::kAppend},
      {200, "", ResumeAnswer::kStartOver},                             // the whole object again
      {412, "", ResumeAnswer::kStartOver},                             // ETag changed
      {416, "bytes */1048576", ResumeAnswer::kStartOver},
      {206, "bytes 0-1048575/1048576", ResumeAnswer::kStartOver},      // from the start
      {206, "bytes 32767-1048575/1048576", ResumeAnswer::kStartOver},  // one byte early
      {206, "bytes 32769-1048575/1048576", ResumeAnswer::kStartOver},  // one byte late
      {206, "bytes 32768-65535/1048576", ResumeAnswer::kStartOver},    // not to the end
      {206, "bytes 32768-2097151/2097152", ResumeAnswer::kStartOver},  // another size
      {206, "", ResumeAnswer::kStartOver},
      {206, "bytes 32768-1048575/*", ResumeAnswer::kStartOver},
      {206, "bytes=32768-1048575/1048576", ResumeAnswer::kStartOver},
      {206, "bytes 32768-99999999999999999999999/1048576", ResumeAnswer::kStartOver},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecideResume(c.status, c.content_range, part), c.answer)
        << c.status << " " << c.content_range;
  }
  EXPECT_EQ(RangeHeader(part), "Range: bytes=32768-");
  EXPECT_EQ(IfMatchHeader(part), std::string("If-Match: ") + kEtag);
}

TEST(PartialDownloadTest, PartKeptAcrossLoadsAndGoneWhenDiscarded) {
  TempWorkingDir dir("partial-download");
  HeldPartResult held = LoadPart(kImage);
  ASSERT_TRUE(held.status.ok()) << held.status.reason();
  EXPECT_FALSE(held.part.resumable());

  ASSERT_TRUE(StartPart(kImage, kEtag, 10, "01234", "1.0.9",
                        "n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=")
                  .ok());
  ASSERT_TRUE(AppendPart(kImage, "56").ok());
  held = LoadPart(kImage);
  ASSERT_TRUE(held.status.ok()) << held.status.reason();
  EXPECT_EQ(held.part.etag, kEtag);
  EXPECT_EQ(held.part.version, "1.0.9");
  EXPECT_EQ(held.part.checksum_sha256, "n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=");
  EXPECT_EQ(held.part.total, 10u);
  EXPECT_EQ(held.part.size, 7u);
  EXPECT_TRUE(held.part.resumable());
  std::string bytes;
  ASSERT_TRUE(ReadPart(kImage, held.part, &bytes).ok());
  EXPECT_EQ(bytes, "0123456");
  EXPECT_EQ(ModeOf(PartPath(kImage)), 0640u);
  EXPECT_EQ(ModeOf(PartRecordPath(kImage)), 0640u);

  // A new object replaces the part, never adds to it.
  ASSERT_TRUE(StartPart(kImage, "\"other\"", 4, "ab").ok());
  held = LoadPart(kImage);
  EXPECT_EQ(held.part.size, 2u);
  EXPECT_EQ(held.part.etag, "\"other\"");

  ASSERT_TRUE(DiscardPart(kImage).ok());
  EXPECT_FALSE(std::ifstream(PartPath(kImage)).good());
  EXPECT_FALSE(std::ifstream(PartRecordPath(kImage)).good());
  EXPECT_TRUE(DiscardPart(kImage).ok());
  // Bytes from the middle of an object never start a part.
  EXPECT_FALSE(AppendPart(kImage, "56").ok());
}

TEST(PartialDownloadTest, RecordThatCouldInjectAHeaderOrLiesAboutItsPartIsRefused) {
  TempWorkingDir dir("partial-download");
  EXPECT_FALSE(StartPart(kImage, "\"a\"\r\nX-Evil: 1", 10, "0").ok());
  EXPECT_FALSE(std::ifstream(PartRecordPath(kImage)).good());
  EXPECT_FALSE(StartPart(kImage, kEtag, 1, "01").ok());  // more than the object
  EXPECT_FALSE(StartPart(kImage, kEtag, 10, "0", "1.0.9\nX").ok());

  const struct {
    const char* record;
    const char* part;
  } cases[] = {
      {"\"a\" b\n10\n", "0"},  // a space in the ETag
      {"\"a\"\n10", "0"},      // no final line end
      {"\"a\"\n\n", "0"},
      {"\"a\"\n-1\n", "0"},
      {"\"a\"\n99999999999999999999999\n", "0"},
      {"\"a\"\n2\n", "012"},   // a part longer than the object
      {"\"a\"\n10\n1.0.9\n", "0"},           // a version without its checksum line
      {"\"a\"\n10\n1 0 9\n\n", "0"},         // a version that is not one word
  };
  for (const auto& c : cases) {
    std::ofstream(PartRecordPath(kImage), std::ios::binary) << c.record;
    std::ofstream(PartPath(kImage), std::ios::binary) << c.part;
    const HeldPartResult held = LoadPart(kImage);
    EXPECT_FALSE(held.status.ok()) << c.record;
    EXPECT_FALSE(held.part.resumable()) << c.record;
  }
}

}  // namespace
