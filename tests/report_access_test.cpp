// The bearer header file handed to curl: only the token's first line goes
// in, and a missing or empty token file is an error, not an empty header.
#include "ReportAccess.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "temp_cwd.h"

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char chunk[256];
  ssize_t n;
  while ((n = pread(fd, chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0) {
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

TEST(BearerHeader, HoldsTheFirstLineOfTheTokenFileOnly) {
  TempWorkingDir dir("report_access_test");
  std::ofstream("token") << "abc.def-123\r\nnot part of it\n";
  std::string token;
  const Status read = ReadReportToken("token", token);
  ASSERT_TRUE(read.ok()) << read.reason();
  BearerHeader header;
  ASSERT_TRUE(header.Fill(token).ok());
  EXPECT_EQ(ReadAll(header.fd()), "Authorization: Bearer abc.def-123\n");
}

TEST(BearerHeader, MissingOrEmptyTokenIsAnError) {
  TempWorkingDir dir("report_access_test");
  std::string token;
  EXPECT_EQ(ReadReportToken("no-such-token", token).reason(), std::strerror(ENOENT));
  std::ofstream("empty") << "\nsecond line\n";
  EXPECT_EQ(ReadReportToken("empty", token).reason(), std::strerror(ENODATA));
  EXPECT_TRUE(token.empty());
}

}  // namespace
