// Start-up reading: which version a handshake answer gives, and that the
// lines arriving before the workers run are kept, not thrown away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "StartupInput.h"
#include "pty_pair.h"
#include "temp_cwd.h"

namespace {

VersionParse Parse(const std::string& line, std::string* version, bool cut = false) {
  char out[32] = {0};
  VersionAnswer answer;
  answer.any_line = true;
  answer.line = line;
  answer.cut = cut;
  VersionParse result = ParseVersionAnswer(answer, out);
  *version = out;
  return result;
}

TEST(VersionAnswerTest, VersionThatDoesNotFitIsTooLongNotCut) {
  std::string v;
  EXPECT_EQ(Parse("version=" + std::string(31, 'A'), &v), VersionParse::kVersion);
  EXPECT_EQ(v, std::string(31, 'A'));
  EXPECT_EQ(Parse("version=" + std::string(32, 'A'), &v), VersionParse::kTooLong);
  EXPECT_EQ(v, "");
  EXPECT_EQ(Parse("version=1.0.8", &v, /*cut=*/true), VersionParse::kTooLong);
  // The pieces between runs of "=" as before.
  EXPECT_EQ(Parse("==version==7=x", &v), VersionParse::kVersion);
  EXPECT_EQ(v, "7");
  EXPECT_EQ(Parse("version=", &v), VersionParse::kNone);
  EXPECT_EQ(Parse("i:door=0", &v), VersionParse::kNone);
}

class StartupInputTest : public ::testing::Test {
 protected:
  TempWorkingDir cwd_{"np-startup"};
  PtyPair pty_;
};

TEST_F(StartupInputTest, EventsBeforeAndAmongAnswersAreKeptInOrder) {
  StartupInput input(pty_.slave());
  pty_.Send("i:a=1\nnoise\ni:b=2\n");
  // The window closes inside this line; its rest still belongs to it.
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pty_.Send("i:c=");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty_.Send("3\n");
  });
  input.Collect(std::chrono::milliseconds(300));
  late.join();
  pty_.Send("i:d=4\nversion=1.0.8\ni:e=5\n");
  VersionAnswer answer = input.AwaitVersion(std::chrono::milliseconds(2000));
  EXPECT_EQ(answer.line, "version=1.0.8");
  std::vector<std::string> expected = {"i:a=1", "i:b=2", "i:c=3", "i:d=4"};
  EXPECT_EQ(input.TakeEvents(), expected);
  EXPECT_TRUE(input.TakeEvents().empty());
}

}  // namespace
