// The log under load: both workers (and, here, more threads than the daemon
// ever has) append at full speed, with lines from a few bytes up to the size
// of the largest event object, so that lines cross page boundaries and
// writes of different sizes race. Nothing may be lost, split, interleaved or
// reordered within one writer.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "EventTranslation.h"
#include "log_reader.h"
#include "temp_cwd.h"

namespace {

constexpr int kWriters = 6;
constexpr int kLinesPerWriter = 1500;

// Length of writer `w`'s line number `n`: mostly short lines, with a long
// one (up to the 16 KiB of the largest event object) every so often.
std::size_t BodyLength(int w, int n) {
  if (n % 97 == 0) return kEventObjectCapacity - 1 - (w * 131 + n) % 4000;
  if (n % 13 == 0) return 4000 + (w * 17 + n) % 300;  // crosses a page
  return (w * 7 + n * 3) % 200;
}

// The filler byte of a line: differs between writers and between
// neighbouring lines, so a piece of one line inside another shows.
char Filler(int w, int n) { return static_cast<char>('a' + (w * 5 + n) % 26); }

std::string Message(int w, int n) {
  std::string message = "w" + std::to_string(w) + " n" + std::to_string(n) + " ";
  message.append(BodyLength(w, n), Filler(w, n));
  return message;
}

// "YYYY-MM-DD HH:MM:SS"
bool IsTimeStamp(const std::string& text) {
  static const char kShape[] = "dddd-dd-dd dd:dd:dd";
  if (text.size() != sizeof kShape - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

class LogIntegrity : public ::testing::Test {
 protected:
  // Every line of every day's file (a run across midnight uses two).
  std::vector<std::string> LogLines() {
    for (const auto& [file, text] : ReadLogFiles(cwd_.path()))
      EXPECT_TRUE(text.empty() || text.back() == '\n') << file << " ends inside a line";
    return ReadLogLines(cwd_.path());
  }

  TempWorkingDir cwd_{"np-logload"};
};

TEST_F(LogIntegrity, WritersAtFullSpeedNeitherLoseNorSplitNorReorderLines) {
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w] {
      for (int n = 0; n < kLinesPerWriter; ++n) LogLine(Message(w, n));
    });
  }
  for (auto& writer : writers) writer.join();

  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kWriters * kLinesPerWriter));
  std::vector<int> next(kWriters, 0);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    ASSERT_GE(line.size(), 20u) << "line " << i;
    ASSERT_TRUE(IsTimeStamp(line.substr(0, 19))) << "line " << i << ": " << line.substr(0, 60);
    ASSERT_EQ(line[19], '\t') << "line " << i;
    int w = -1, n = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + 20, "w%d n%d ", &w, &n), 2)
        << "line " << i << ": " << line.substr(0, 60);
    ASSERT_TRUE(w >= 0 && w < kWriters) << "line " << i;
    // One writer's lines arrive in the order it wrote them, none missing.
    ASSERT_EQ(n, next[w]) << "writer " << w << " at line " << i;
    ++next[w];
    ASSERT_EQ(line.substr(20), Message(w, n)) << "line " << i << " is not whole";
  }
}

// A line that meets the file-size limit (as a full disk would) is written
// only in part; what was written is cut off again, so the line after it is
// not glued to a fragment.
TEST_F(LogIntegrity, LineCutByFileSizeLimitIsUndone) {
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  auto message = [](std::size_t n) { return "line " + std::to_string(n) + std::string(90, 'x'); };
  for (std::size_t n = 0; n < 60; ++n) LogLine(message(n));
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  const std::vector<std::string> lines = LogLines();  // checks the file ends in LF
  ASSERT_GT(lines.size(), 10u);
  ASSERT_LT(lines.size(), 60u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].substr(20), message(i)) << "line " << i << " is not whole";
  }
}

}  // namespace
