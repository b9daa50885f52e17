// Outside text shown to a person: a byte that drives a terminal or breaks a
// line must show as "\xNN", and nothing else may change (an operator greps
// the log for what the controller sent).
#include <gtest/gtest.h>

#include <string>

#include "PrintableText.h"

namespace {

TEST(PrintableText, ControlBytesShowAsUpperCaseHexAndTextStaysAsSent) {
  const struct {
    std::string in;
    std::string shown;
  } kCases[] = {
      {"door=1,t=4", "door=1,t=4"},
      {"a\tb", "a\tb"},                                   // TAB is kept
      {"\x1b[31mred\x1b[0m", "\\x1B[31mred\\x1B[0m"},     // colour escape
      {"one\ntwo\r", "one\\x0Atwo\\x0D"},                 // no second log line
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1f\x7f", "\\x1F\\x7F"},                         // the edges of the range
      {" ~", " ~"},
      {"caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},           // UTF-8 and high bytes pass
      {"\\x1B", "\\x1B"},
  };
  for (const auto& c : kCases) EXPECT_EQ(PrintableText(c.in), c.shown) << c.in;
}

}  // namespace
