// Line protocol with the controller, driven over a pseudo-terminal: command
// framing and limits, line framing (dropped bytes, cut lines, lines that
// arrive together, end of file, time-outs), event dispatch, and the log.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NetworkProxy.h"
#include "EventLog.h"
#include "ReportExchange.h"
#include "SerialLink.h"
#include "SerialWorker.h"
#include "log_reader.h"
#include "pty_pair.h"

namespace {

// Event lines read in these tests are posted to a port where nothing
// listens, so curl fails at once instead of reaching out to the network.
const bool kReportHostSet =
    setenv("NETWORKPROXY_REPORT_HOST", "127.0.0.1:1", 0) == 0;

// Runs each test in a fresh working directory, so the log it reads is its
// own, with the link on a pty slave.
class LineProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kReportHostSet);
    char tmpl[] = "/tmp/np-protocol-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }

  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Raw lines of every log file in the working directory.
  std::vector<std::string> LogLines() { return ReadLogLines(dir_); }

  // Messages of the log: each line less its time stamp and TAB.
  std::vector<std::string> Log() { return ReadLogMessages(dir_); }

  bool Logged(const std::string& message) {
    for (const auto& m : Log())
      if (m == message) return true;
    return false;
  }

  std::string dir_;
  std::filesystem::path old_cwd_;
  PtyPair pty_;
  const ReportTarget target_ = ReportTargetFrom(SiteSettingsFromEnvironment(), "");
  SerialLink link_{dup(pty_.slave())};
  SerialWorker sm_{link_, target_};
};

// --- commands ------------------------------------------------------------

TEST_F(LineProtocol, VersionQueryGoesOutAsIs) {
  link_.Write("v:\r");
  EXPECT_EQ(pty_.Receive(3, 2000), "v:\r");
  EXPECT_EQ(pty_.ReceiveFor(200), "");
}

TEST_F(LineProtocol, WriteStopsAfterFirstCr) {
  link_.Write("ab\rcd\r");
  EXPECT_EQ(pty_.ReceiveFor(500), "ab\r");
}

TEST_F(LineProtocol, WriteOnDeadDescriptorSendsAndLogsNothing) {
  SerialLink dead(-1);
  dead.Write("v:\r");
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(pty_.ReceiveFor(200), "");
}

TEST_F(LineProtocol, TagsCountRunsStraightIntoTheList) {
  SendTagsCommand(link_, "AB,CD,EF");
  SendTagsCommand(link_, "A");
  SendTagsCommand(link_, "");
  SendTagsCommand(link_, "12,34");
  SendTagsCommand(link_, ",,");
  EXPECT_EQ(pty_.ReceiveFor(500), "s:3AB,CD,EF\rs:1A\rs:1\rs:212,34\rs:3,,\r");
}

TEST_F(LineProtocol, ColourAndSequenceCarryTheirTextUnchanged) {
  SendLedColourCommand(link_, "");
  SendLedColourCommand(link_, "red");
  SendSequenceCommand(link_, "x");
  SendSequenceCommand(link_, "a b\"c'$(d)");
  EXPECT_EQ(pty_.ReceiveFor(500), "c:\rc:red\rf:x\rf:a b\"c'$(d)\r");
}

TEST_F(LineProtocol, CrInsideArgumentEndsTheCommand) {
  SendLedColourCommand(link_, "re\rd");
  EXPECT_EQ(pty_.ReceiveFor(500), "c:re\r");
}

TEST_F(LineProtocol, LongestColourAndSequenceStillSent) {
  const std::string arg(28, 'q');
  SendLedColourCommand(link_, arg.c_str());
  SendSequenceCommand(link_, arg.c_str());
  EXPECT_EQ(pty_.ReceiveFor(500), "c:" + arg + "\rf:" + arg + "\r");
  EXPECT_FALSE(Logged("Error: Command too long"));
}

TEST_F(LineProtocol, OverlongColourOrSequenceIsNotSentAtAll) {
  const std::string arg(29, 'q');
  SendLedColourCommand(link_, arg.c_str());
  SendSequenceCommand(link_, arg.c_str());
  const std::string huge(5000, 'z');
  SendLedColourCommand(link_, huge.c_str());
  EXPECT_EQ(pty_.ReceiveFor(500), "");
  int errors = 0;
  for (const auto& m : Log()) errors += m == "Error: Command too long";
  EXPECT_EQ(errors, 3);
}

TEST_F(LineProtocol, TagsCommandLimitIsTheWholeCommandWithItsCr) {
  // "s:1" + 251 + CR is 255 bytes: fits; one more byte does not.
  const std::string fits(251, 'T');
  SendTagsCommand(link_, fits.c_str());
  EXPECT_EQ(pty_.ReceiveFor(500), "s:1" + fits + "\r");
  EXPECT_FALSE(Logged("Error: Command too long"));

  const std::string over(252, 'T');
  SendTagsCommand(link_, over.c_str());
  // The count's digits count too: 100 commas make "s:101".
  std::string commas(100, ',');
  commas += std::string(150, 'T');
  SendTagsCommand(link_, commas.c_str());
  EXPECT_EQ(pty_.ReceiveFor(500), "");
  int errors = 0;
  for (const auto& m : Log()) errors += m == "Error: Command too long";
  EXPECT_EQ(errors, 2);
}

// --- line framing -----------------------------------------------------------

TEST_F(LineProtocol, CrLfLineIsLoggedInTwoEntriesAndDispatched) {
  pty_.Send("i:door=1\r\n");
  char buf[64];
  std::memset(buf, 'X', sizeof buf);
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "i:door=1");
  auto log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], "Serial Data Received: ");
  EXPECT_EQ(log[1], "i:door=1");
  EXPECT_EQ(log[2], "Sending Message: ");
  EXPECT_EQ(log[3], "{\"door\": \"f\"}");
}

TEST_F(LineProtocol, PayloadStartsAtThirdCharacterNotAtMarker) {
  pty_.Send("xyi:a=1\n");
  char buf[64] = {0};
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "xyi:a=1");
  EXPECT_TRUE(Logged("Sending Message: "));
  EXPECT_TRUE(Logged("{\"i:a\": \"1\"}"));
}

TEST_F(LineProtocol, BareMarkerDispatchesEmptyPayload) {
  pty_.Send("i:\n");
  char buf[64] = {0};
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_TRUE(Logged("Sending Message: "));
  EXPECT_TRUE(Logged("{}"));
}

TEST_F(LineProtocol, EmptyLinesAreLoggedButNotDispatched) {
  pty_.Send("\n\r\n");
  char buf[16];
  std::memset(buf, 'X', sizeof buf);
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "");
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "");
  std::vector<std::string> want = {"Serial Data Received: ", "",
                                   "Serial Data Received: ", ""};
  EXPECT_EQ(Log(), want);
}

TEST_F(LineProtocol, NulAndCrBytesAreDroppedAnywhere) {
  pty_.Send(std::string("ab\0c\n", 5));
  pty_.Send("abc\rdef\n");
  pty_.Send(std::string("\0\r\0x\r\r\n", 7));
  char buf[32];
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "abc");
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "abcdef");
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "x");
}

TEST_F(LineProtocol, LinesArrivingTogetherAreReadOneByOne) {
  pty_.Send("one\ntwo\nthree\n");
  char buf[32];
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "one");
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "two");
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "three");
}

TEST_F(LineProtocol, LineFillingBufferExactlyIsNotCut) {
  const std::string line(31, 'L');
  pty_.Send(line + "\n");
  char buf[33];
  std::memset(buf, 'X', sizeof buf);
  ASSERT_TRUE(sm_.Read(buf, 32, 5000));
  EXPECT_EQ(std::string(buf), line);
  EXPECT_EQ(buf[32], 'X');
  EXPECT_FALSE(Logged("Error: Line too long"));
}

TEST_F(LineProtocol, CutLineKeepsTerminatorAndDropsItsRest) {
  // One byte more than fits, then a long tail: neither may spill over into
  // the buffer's neighbour or into the next line.
  pty_.Send(std::string(32, 'A') + "\n" + std::string(100, 'B') + "BBB\nnext\n");
  char buf[40];
  std::memset(buf, 'X', sizeof buf);
  sm_.Read(buf, 32, 5000);
  EXPECT_EQ(std::string(buf), std::string(31, 'A'));
  for (int i = 32; i < 40; ++i) EXPECT_EQ(buf[i], 'X') << "byte " << i;

  sm_.Read(buf, 32, 5000);
  EXPECT_EQ(std::string(buf), std::string(31, 'B'));
  ASSERT_TRUE(sm_.Read(buf, 32, 5000));
  EXPECT_STREQ(buf, "next");

  std::vector<std::string> want = {
      "Serial Data Received: ", std::string(31, 'A'), "Error: Line too long",
      "Serial Data Received: ", std::string(31, 'B'), "Error: Line too long",
      "Serial Data Received: ", "next"};
  EXPECT_EQ(Log(), want);
}

TEST_F(LineProtocol, CutEventLineIsNotDispatched) {
  pty_.Send("i:door=1,boot=1,auth=1,t=1234567890123\ni:door=0\n");
  char buf[16];
  sm_.Read(buf, sizeof buf, 5000);
  EXPECT_TRUE(Logged("Error: Line too long"));
  EXPECT_FALSE(Logged("Sending Message: "));
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "i:door=0");
  EXPECT_TRUE(Logged("{\"door\": \"t\"}"));
}

TEST_F(LineProtocol, ThreeThousandByteLineInWorkerBuffer) {
  std::string line;
  for (int i = 0; i < 3000; ++i) line += static_cast<char>('a' + i % 26);
  pty_.Send(line + "\r\nafter\n");
  sm_.ReadOnce();
  EXPECT_EQ(std::string(sm_.line()), line.substr(0, 1023));
  EXPECT_TRUE(Logged("Error: Line too long"));
  // The worker's own pass reads the next line from the same buffer.
  ASSERT_TRUE(sm_.ReadOnce());
  EXPECT_STREQ(sm_.line(), "after");
}

TEST_F(LineProtocol, EndOfFileLogsReadNothingAndLeavesBufferAlone) {
  pty_.CloseMaster();
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_FALSE(sm_.Read(buf, sizeof buf, 2000));
  for (char c : buf) EXPECT_EQ(c, 'X');
  std::vector<std::string> want = {"Read nothing!"};
  EXPECT_EQ(Log(), want);
}

TEST_F(LineProtocol, SilentLineTimesOutAsReadNothing) {
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_FALSE(sm_.Read(buf, sizeof buf, 300));
  for (char c : buf) EXPECT_EQ(c, 'X');
  std::vector<std::string> want = {"Read nothing!"};
  EXPECT_EQ(Log(), want);
}

TEST_F(LineProtocol, TricklingControllerCannotStretchTheTimeOut) {
  // A byte every 100 ms for 4 s, never an LF: the time limit is for the
  // whole line, so Read must give up while the bytes are still coming.
  std::atomic<bool> trickling{true};
  std::thread controller([&] {
    for (int i = 0; i < 40; ++i) {
      pty_.Send("a");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    trickling = false;
  });
  char buf[128];
  EXPECT_FALSE(sm_.Read(buf, sizeof buf, 1000));
  EXPECT_TRUE(trickling.load()) << "Read waited for the trickle to end";
  controller.join();
}

TEST_F(LineProtocol, OneByteBufferHoldsOnlyTheTerminator) {
  pty_.Send("xyz\nok\n");
  char buf[2] = {'X', 'X'};
  sm_.Read(buf, 1, 5000);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'X');
  char next[8];
  ASSERT_TRUE(sm_.Read(next, sizeof next, 5000));
  EXPECT_STREQ(next, "ok");
}

// The serial worker ends a batch when no byte comes in time, possibly half
// way through a line: the next read must finish that line, not lose its start.
TEST_F(LineProtocol, LineCutByATimeOutGoesOnWhereItStopped) {
  pty_.Send("i:do");
  char buf[8];
  LinePartial partial;
  EXPECT_EQ(ReadLine(link_.fd(), buf, sizeof buf, 200, &partial).end, LineEnd::kTimedOut);
  pty_.Send("or=1\nnext\n");
  EXPECT_EQ(ReadLine(link_.fd(), buf, sizeof buf, 2000, &partial).end, LineEnd::kCutLine);
  EXPECT_STREQ(buf, "i:door=");
  EXPECT_EQ(ReadLine(link_.fd(), buf, sizeof buf, 2000, &partial).end, LineEnd::kLine);
  EXPECT_STREQ(buf, "next");
}

TEST_F(LineProtocol, UnfinishedLineIsNeitherDispatchedNorCarriedOver) {
  pty_.Send("i:door=1");
  char buf[32];
  EXPECT_FALSE(sm_.Read(buf, sizeof buf, 500));
  EXPECT_FALSE(Logged("Sending Message: "));
  pty_.Send("\nok\n");
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  // Whatever became of the unfinished bytes, the following line is whole
  // and they never make an event.
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "ok");
  EXPECT_FALSE(Logged("Sending Message: "));
}

TEST_F(LineProtocol, FlushBufferDropsQueuedInputOnly) {
  pty_.Send("stale\n");
  // Let the bytes reach the slave's input queue before flushing.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  link_.FlushInput();
  pty_.Send("fresh\n");
  char buf[32];
  ASSERT_TRUE(sm_.Read(buf, sizeof buf, 5000));
  EXPECT_STREQ(buf, "fresh");
}

// --- log --------------------------------------------------------------------

TEST_F(LineProtocol, LogLineIsStampTabMessage) {
  LogLine("hello world");
  LogLine("");
  const std::string date = CurrentDateTime("date");
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/log_" + date + ".txt"));
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t)");
  EXPECT_TRUE(std::regex_search(lines[0], stamp)) << lines[0];
  EXPECT_EQ(lines[0].substr(19), "\thello world");
  EXPECT_EQ(lines[1].substr(19), "\t");
  EXPECT_EQ(lines[0].substr(0, 10), date);
}

TEST_F(LineProtocol, DateTimeFormats) {
  EXPECT_EQ(CurrentDateTime("now").size(), 19u);
  EXPECT_EQ(CurrentDateTime("date").size(), 10u);
  EXPECT_EQ(CurrentDateTime("tomorrow"), "");
}

TEST_F(LineProtocol, LogIsAppendedNeverOverwritten) {
  const std::string name = dir_ + "/log_" + CurrentDateTime("date") + ".txt";
  {
    std::ofstream out(name);
    out << "earlier\n";
  }
  LogLine("later");
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier");
  EXPECT_EQ(lines[1].substr(20), "later");
}

TEST_F(LineProtocol, ConcurrentLogLinesStayWhole) {
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      const std::string body(300 + t * 37, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) LogLine(body);
    });
  }
  for (auto& th : threads) th.join();
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::regex whole(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t([a-h])\1*$)");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line.substr(0, 80);
    int t = m[1].str()[0] - 'a';
    EXPECT_EQ(line.size(), 20u + 300u + t * 37u);
  }
}

TEST_F(LineProtocol, LogfCutsAt1023Bytes) {
  const std::string big(3000, 'w');
  LogFormat("%s-%d", big.c_str(), 7);
  LogFormat("port %s: %d", "x", 42);
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], std::string(1023, 'w'));
  EXPECT_EQ(log[1], "port x: 42");
}

TEST_F(LineProtocol, VanishedDirectoryLosesLinesQuietly) {
  // Even root cannot create a file in a directory that no longer exists.
  const std::string gone = dir_ + "/gone";
  std::filesystem::create_directory(gone);
  std::filesystem::current_path(gone);
  std::filesystem::remove(gone);
  LogLine("lost");
  LogFormat("lost %d", 2);
  std::filesystem::current_path(dir_);
  EXPECT_TRUE(Log().empty());
}

TEST_F(LineProtocol, ReportToDeadServerFailsAndIsLogged) {
  EXPECT_FALSE(ReportEvent(target_, link_, "door=1").ok());
  bool found = false;
  for (const auto& m : Log()) found |= m.rfind("Error: Report failed", 0) == 0;
  EXPECT_TRUE(found);
  sm_.Dispatch("door=1");
  EXPECT_EQ(pty_.ReceiveFor(200), "");
}

}  // namespace
