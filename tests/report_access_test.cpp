// The bearer header file handed to curl: only the token's first line goes
// in, and a missing or empty token file is an error, not an empty header.
#include "ReportAccess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ReportExchange.h"
#include "ReportSession.h"
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

// A CA path that became a FIFO: opening it to load the bundle would block
// the post, and with it the sender, for good. Both transports must fail
// the post at once, as a bundle that cannot be used (curl exit status 77).
TEST(ReportTransport, FifoCaFailsThePostAtOnceInBothTransports) {
  TempWorkingDir dir("report_access_test");
  ASSERT_EQ(mkfifo("ca.pem", 0600), 0);
  // Takes connections (the kernel's backlog) and never answers: the TLS
  // set-up, where the bundle is loaded, is reached.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ReportTarget target;
  target.url = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/ping.json";
  target.url_configured = true;
  target.ca_file = "ca.pem";
  target.curl_environment = {"PATH=/usr/bin:/bin"};

  const struct {
    const char* transport;
    std::function<std::unique_ptr<ReportTransport>()> make;
  } cases[] = {
      {"session (spool)", [&] { return std::make_unique<ReportSession>(target); }},
      {"curl tool (plain)", [&] { return std::make_unique<CurlToolTransport>(target); }},
  };
  for (const auto& c : cases) {
    std::unique_ptr<ReportTransport> transport = c.make();
    auto post = std::async(std::launch::async, [&] { return transport->Post("{}", {}, ""); });
    if (post.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // A writer that comes and goes lets each blocked open through to an
      // empty file, so the test can end.
      do {
        close(open("ca.pem", O_RDWR | O_CLOEXEC));
      } while (post.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready);
      ADD_FAILURE() << c.transport << ": the post waits on the FIFO";
      continue;
    }
    EXPECT_EQ(post.get().exit_status, 77) << c.transport;
  }
  close(listener);
}

}  // namespace
