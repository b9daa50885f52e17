// Event payload -> event object, and server reply -> device commands.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "EventTranslation.h"
#include "ReportExchange.h"
#include "SerialLink.h"
#include "pty_pair.h"
#include "log_reader.h"
#include "temp_cwd.h"

namespace {

class Translation : public ::testing::Test {
 protected:
  static constexpr const char* kSite = "SITE7";

  std::vector<std::string> Log() { return ReadLogMessages(cwd_.path()); }

  std::string Encode(const std::string& payload, unsigned long capacity = 2048) {
    std::vector<char> out(capacity + 16, 'X');
    EncodeEvent(payload.c_str(), kSite, out.data(), capacity);
    for (std::size_t i = capacity; i < out.size(); ++i)
      EXPECT_EQ(out[i], 'X') << "written past capacity at " << i;
    return std::string(out.data());
  }

  // Parses `text` strictly as one JSON object; fails the test otherwise.
  Json::Value ParseObject(const std::string& text) {
    Json::CharReaderBuilder builder;
    builder["strictRoot"] = true;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value,
                              &errors))
        << errors << " in " << text;
    EXPECT_TRUE(value.isObject()) << text;
    return value;
  }

  // First, so the monitor and every test write their log into the folder.
  TempWorkingDir cwd_{"np-translation"};
};

TEST_F(Translation, WorkedExamples) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "{}"},
      {"door=1", "{\"door\": \"f\"}"},
      {"t=4,door=0,boot=1,auth=0",
       "{\"auth\": \"f\",\"boot\": \"t\",\"door\": \"t\",\"t\": \"4\"}"},
      {"mac=00:1A:2B,door=2", "{\"door\": \"2\",\"mac\": \"SITE7\"}"},
      {"a=1,,b=2", "{\"\": \"\",\"a\": \"1\",\"b\": \"2\"}"},
      {"a=1,", "{\"a\": \"1\"}"},
      {"boot", "{\"boot\": \"boot\"}"},
      {"k=a=b", "{\"k\": \"a=b\"}"},
      {"k=", "{\"k\": \"\"}"},
      {"=5", "{\"\": \"5\"}"},
      {"door=1,door=0", "{\"door\": \"t\"}"},
      {"Door=1,door=1", "{\"Door\": \"1\",\"door\": \"f\"}"},
      {"boot=true", "{\"boot\": \"true\"}"},
      {"mac", "{\"mac\": \"SITE7\"}"},
  };
  for (const auto& [payload, object] : cases) {
    EXPECT_EQ(Encode(payload), object) << "payload: " << payload;
  }
  // One log entry per call, holding the object.
  auto log = Log();
  ASSERT_EQ(log.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(log[i], cases[i].second);
}

TEST_F(Translation, FlagsRewrittenOnlyForExactKeysAndValues) {
  auto m = mappify("door=0,boot=0,auth=1,door =1, boot=1,auth=2,AUTH=1,boot=", kSite);
  EXPECT_EQ(m["door"], "t");
  EXPECT_EQ(m["boot"], "");      // later empty value wins, unchanged
  EXPECT_EQ(m["auth"], "2");
  EXPECT_EQ(m["door "], "1");
  EXPECT_EQ(m[" boot"], "1");
  EXPECT_EQ(m["AUTH"], "1");
  EXPECT_EQ(mappify("auth=1", kSite)["auth"], "t");
  EXPECT_EQ(mappify("auth=0", kSite)["auth"], "f");
  EXPECT_EQ(mappify("boot=0", kSite)["boot"], "f");
  EXPECT_EQ(mappify("door=1", kSite)["door"], "f");
}

TEST_F(Translation, KeysSortBytewiseWithEmptyAndUpperCaseFirst) {
  EXPECT_EQ(Encode("b=1,a=2,B=3,=4,ab=5,\xc3\xa9=6,A=7"),
            "{\"\": \"4\",\"A\": \"7\",\"B\": \"3\",\"a\": \"2\",\"ab\": \"5\","
            "\"b\": \"1\",\"\xc3\xa9\": \"6\"}");
}

TEST_F(Translation, MacAlwaysCarriesSiteIdentity) {
  EXPECT_EQ(Encode("mac="), "{\"mac\": \"SITE7\"}");
  EXPECT_EQ(Encode("mac=a,mac=b"), "{\"mac\": \"SITE7\"}");
  EXPECT_EQ(mappify("mac=1", "other-site")["mac"], "other-site");
  EXPECT_EQ(mappify("Mac=1", "other-site")["Mac"], "1");
}

TEST_F(Translation, CutAtCapacityStaysTerminatedAndLogsWhatIsKept) {
  EXPECT_EQ(Encode("door=1", 10), "{\"door\": ");
  EXPECT_EQ(Encode("door=1", 14), "{\"door\": \"f\"}");  // exactly fits
  EXPECT_EQ(Encode("door=1", 13), "{\"door\": \"f\"");
  EXPECT_EQ(Encode("door=1", 1), "");
  auto log = Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "{\"door\": ");
  EXPECT_EQ(log[3], "");
}

TEST_F(Translation, QuotesBackslashesAndControlsAreEscaped) {
  std::string out;
  AppendJsonEscaped(out, "a\"b\\c");
  EXPECT_EQ(out, "a\\\"b\\\\c");

  const std::string nasty = std::string("q\"\\\x01\x1f\t\b\x7f") + "\xc3\xa9";
  std::string wrapped = "\"";
  AppendJsonEscaped(wrapped, nasty);
  wrapped += "\"";
  for (unsigned char c : wrapped) EXPECT_GE(c, 0x20u) << "raw control byte";
  Json::Value v = ParseObject("{\"k\": " + wrapped + "}");
  EXPECT_EQ(v["k"].asString(), nasty);
}

TEST_F(Translation, BytesThatAreNotUtf8AreEscapedByValue) {
  // The controller's bytes are not always UTF-8; a strict server rejects a
  // body that is not.
  EXPECT_EQ(Encode("k=\xff\xfe"), "{\"k\": \"\\u00ff\\u00fe\"}");
  std::string out;
  // Cut, overlong, surrogate and out-of-range sequences, a stray
  // continuation byte.
  AppendJsonEscaped(out, "\xc3|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\x80");
  EXPECT_EQ(out,
            "\\u00c3|\\u00c0\\u00af|\\u00ed\\u00a0\\u0080|"
            "\\u00f4\\u0090\\u0080\\u0080|\\u0080");
  // Well-formed UTF-8 of every length passes unchanged.
  const std::string valid = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf";
  out.clear();
  AppendJsonEscaped(out, valid);
  EXPECT_EQ(out, valid);
}

TEST_F(Translation, ControllerTextCannotAddOrOverrideMembers) {
  const std::string payload = "a=x\",\"mac\":\"other,mac=1,b\"=\\";
  const std::string text = Encode(payload);
  Json::Value v = ParseObject(text);
  // The comma splits the payload: the forged member becomes a key of its own.
  EXPECT_EQ(v.size(), 4u) << text;
  EXPECT_EQ(v["a"].asString(), "x\"");
  EXPECT_EQ(v["\"mac\":\"other"].asString(), "\"mac\":\"other");
  EXPECT_EQ(v["mac"].asString(), "SITE7");
  EXPECT_EQ(v["b\""].asString(), "\\");
  // The member text of a payload with " in a key is the escaped key.
  EXPECT_EQ(Encode("k\"=1"), "{\"k\\\"\": \"1\"}");
}

TEST_F(Translation, ShellTextPassesThroughUnchanged) {
  const std::string payload = "q='$(touch x)' `id`;rm -rf /";
  const std::string text = Encode(payload);
  Json::Value v = ParseObject(text);
  EXPECT_EQ(v["q"].asString(), "'$(touch x)' `id`;rm -rf /");
}

TEST_F(Translation, LargestObjectFromAFullLineFitsReportCapacity) {
  // A 1023-character line gives a 1021-character payload. A single token
  // without "=" is both key and value, and control bytes expand most.
  const std::vector<std::string> payloads = {
      std::string(1021, '\x01'), std::string(1021, '"'),
      std::string(1021, '\\'), [] {
        std::string s;
        while (s.size() + 2 <= 1021) s += "\x02,";
        return s;
      }()};
  for (const auto& payload : payloads) {
    std::vector<char> out(kEventObjectCapacity, 0);
    EncodeEvent(payload.c_str(), kSite, out.data(), out.size());
    std::string text(out.data());
    ASSERT_LT(text.size(), out.size());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '}') << "object was cut";
    Json::Value v = ParseObject(text);
    if (payload.find(',') == std::string::npos) {
      EXPECT_EQ(v[payload].asString(), payload);
    }
  }
}

// --- replies ----------------------------------------------------------------

class Replies : public Translation {
 protected:

  // Acts on `reply` and returns the commands the controller received.
  std::string Act(const std::string& reply) {
    EXPECT_NO_THROW(ActOnReplyLine(link_, reply.c_str()));
    return pty_.ReceiveFor(300);
  }

  PtyPair pty_;
  SerialLink link_{dup(pty_.slave())};
};

TEST_F(Replies, AllThreeMembersInOrderWithPauseBeforeSequence) {
  auto start = std::chrono::steady_clock::now();
  std::thread actor([this] {
    ActOnReplyLine(link_, "{\"cards\":\"AB,CD,EF\",\"colour\":\"red\",\"sequence\":\"x\"}");
  });
  std::string first = pty_.Receive(std::string("s:3AB,CD,EF\rc:red\r").size(), 5000);
  auto first_at = std::chrono::steady_clock::now();
  std::string last = pty_.Receive(4, 10000);
  auto last_at = std::chrono::steady_clock::now();
  actor.join();
  EXPECT_EQ(first, "s:3AB,CD,EF\rc:red\r");
  EXPECT_EQ(last, "f:x\r");
  EXPECT_LT(first_at - start, std::chrono::milliseconds(2500))
      << "tags and colour must not wait for the pause";
  EXPECT_GE(last_at - first_at, std::chrono::milliseconds(2900));
  auto log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "Response from Server");
  EXPECT_EQ(log[1], "{\"cards\":\"AB,CD,EF\",\"colour\":\"red\",\"sequence\":\"x\"}");
}

TEST_F(Replies, MissingMembersGiveEmptyCommands) {
  EXPECT_EQ(Act("{\"cards\":\"A\"}"), "s:1A\rc:\rf:\r");
}

TEST_F(Replies, NumbersAndBooleansGiveTheirText) {
  EXPECT_EQ(Act("{\"colour\": 7, \"sequence\": true, \"cards\": null}"),
            "s:1\rc:7\rf:true\r");
}

TEST_F(Replies, ArrayOrObjectMembersAreEmptyText) {
  EXPECT_EQ(Act("{\"cards\":[\"A\",\"B\"],\"colour\":{\"r\":1},\"sequence\":[]}"),
            "s:1\rc:\rf:\r");
}

TEST_F(Replies, NonObjectRepliesDoNotCrash) {
  for (const char* reply : {"[\"colour\",\"cards\"]", "\"colour\"", "42 cards"}) {
    std::string got = Act(reply);
    EXPECT_EQ(got, "s:1\rc:\rf:\r") << reply;
  }
}

TEST_F(Replies, PlainWordsAreAParseErrorWithEmptyCommands) {
  EXPECT_EQ(Act("no cards for you"), "s:1\rc:\rf:\r");
  auto log = Log();
  std::vector<std::string> want = {"Response from Server", "no cards for you",
                                   "Error parsing the string"};
  EXPECT_EQ(log, want);
}

TEST_F(Replies, OverlongMembersAreRefusedNotCut) {
  const std::string colour(40, 'c');
  const std::string reply = "{\"cards\":\"A\",\"colour\":\"" + colour +
                            "\",\"sequence\":\"s\"}";
  EXPECT_EQ(Act(reply), "s:1A\rf:s\r");
  int errors = 0;
  for (const auto& m : Log()) errors += m == "Error: Command too long";
  EXPECT_EQ(errors, 1);
}

}  // namespace
