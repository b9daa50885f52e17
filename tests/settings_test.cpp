// Command-line settings: device and image paths of any length the system
// accepts, and a refusal (not a cut) beyond it.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "Settings.h"

namespace {

CommandLine parsed;

int Parse(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  parsed = CommandLine();
  return ParseCommandLine(static_cast<int>(args.size()), argv.data(), &parsed);
}

TEST(CommandLine, LongDevicePathsAreKeptWhole) {
  const std::string port =
      "/dev/serial/by-id/usb-Example_Corp_USB_to_UART_Bridge_Controller_"
      "0123456789abcdef-if00-port0";
  const std::string image = "/var/lib/networkproxy/" + std::string(600, 'i') + ".hex";
  const std::string longest(PATH_MAX - 1, 'p');
  EXPECT_EQ(Parse({"networkproxy", "-p", port, "-f", image}), -1);
  EXPECT_EQ(parsed.port, port);
  EXPECT_EQ(parsed.image_path, image);
  EXPECT_EQ(Parse({"networkproxy", "-p", longest}), -1);
  EXPECT_EQ(parsed.port, longest);
}

TEST(CommandLine, ValueTooLongForAPathIsRefusedNotCut) {
  const std::string too_long(PATH_MAX, 'x');
  testing::internal::CaptureStdout();
  int port_status = Parse({"networkproxy", "-p", too_long});
  int image_status = Parse({"networkproxy", "-f", too_long});
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(port_status, 2);
  EXPECT_EQ(image_status, 2);
  EXPECT_EQ(out, "Option value too long: p\nOption value too long: f\n");
}

}  // namespace
