// Starting a child: nothing of ours leaks into it, its output is captured
// with last-piece semantics, and a program that cannot start is a failure.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ChildProcess.h"
#include "pty_pair.h"
#include "temp_cwd.h"

namespace {

// A child that prints each of its descriptors as "<fd>=<target> ".
const char* const kListDescriptors[] = {
    "/bin/sh", "-c",
    "for f in /proc/$$/fd/*; do printf '%s=%s ' \"${f##*/}\" \"$(readlink $f)\"; done; echo",
    nullptr};

TEST(ChildProcess, ChildSeesNoDescriptorOfOurs) {
  TempWorkingDir dir("np-child");
  PtyPair pty;
  // A descriptor opened without close-on-exec, as a careless caller would.
  int leaky = open("leak-canary", O_CREAT | O_RDWR, 0600);
  ASSERT_GE(leaky, 0);
  const char* const* argv = kListDescriptors;
  char reply[4096] = {0};
  ChildResult r = RunCapture(argv, reply, sizeof reply);
  close(leaky);
  ASSERT_TRUE(r.start.ok());
  EXPECT_EQ(r.exit_status, 0);
  const std::string fds = reply;
  EXPECT_NE(fds.find("0=/dev/null"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("leak-canary"), std::string::npos) << fds;
  EXPECT_EQ(fds.find(pty.slave_path()), std::string::npos) << fds;
  EXPECT_EQ(fds.find("ptmx"), std::string::npos) << fds;
}

TEST(ChildProcess, ChildOutputKeepsOnlyItsLastPiece) {
  const char* lines[] = {"/bin/sh", "-c", "printf 'a\\nb\\nlast'", nullptr};
  char reply[8] = {0};
  ChildResult r = RunCapture(lines, reply, sizeof reply);
  EXPECT_TRUE(r.start.ok());
  EXPECT_STREQ(reply, "last");

  const char* longline[] = {"/bin/sh", "-c", "echo abcdefghijkl; exit 3", nullptr};
  std::memset(reply, 0, sizeof reply);
  r = RunCapture(longline, reply, sizeof reply);
  EXPECT_TRUE(r.start.ok());
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_STREQ(reply, "hijkl\n");
}

// A status written on standard error must reach the caller without
// disturbing the reply line, however much the child writes on either.
TEST(ChildProcess, ErrorStreamIsCapturedApartFromOutput) {
  const char* argv[] = {"/bin/sh", "-c",
                        "head -c 200000 /dev/zero | tr '\\0' e >&2; echo >&2; "
                        "head -c 200000 /dev/zero | tr '\\0' o; echo; echo reply; printf 503 >&2",
                        nullptr};
  char reply[64] = {0};
  char errors[16] = {0};
  ChildResult r = RunCapture(argv, reply, sizeof reply, errors, sizeof errors);
  ASSERT_TRUE(r.start.ok());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_STREQ(reply, "reply\n");
  EXPECT_STREQ(errors, "503");
}

TEST(ChildProcess, MissingProgramIsAFailureNotAHang) {
  const char* argv[] = {"/nonexistent/program", nullptr};
  char reply[64] = {0};
  ChildResult r = RunCapture(argv, reply, sizeof reply);
  EXPECT_TRUE(!r.start.ok() || r.exit_status != 0);
  EXPECT_STREQ(reply, "");
}

TEST(ChildProcess, ExplicitEnvironmentReplacesOurs) {
  setenv("NP_CHILD_TEST_SECRET", "must-not-reach-the-child", 1);
  const char* argv[] = {"/usr/bin/env", nullptr};
  const char* envp[] = {"ONLY=this", nullptr};
  char reply[256] = {0};
  ChildResult r = RunCapture(argv, reply, sizeof reply, nullptr, 0, envp);
  unsetenv("NP_CHILD_TEST_SECRET");
  ASSERT_TRUE(r.start.ok());
  EXPECT_EQ(r.exit_status, 0);
  // env prints one line per variable; the last piece is the last line.
  EXPECT_STREQ(reply, "ONLY=this\n");
}

TEST(ChildProcess, PassedDescriptorArrivesAsThreeAndNoOther) {
  TempWorkingDir dir("np-child");
  int passed = open("passed-file", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  int other = open("other-file", O_CREAT | O_RDWR, 0600);
  ASSERT_GE(passed, 0);
  ASSERT_GE(other, 0);
  const char* const* argv = kListDescriptors;
  char reply[4096] = {0};
  ChildResult r = RunCapture(argv, reply, sizeof reply, nullptr, 0, nullptr, passed);
  close(passed);
  close(other);
  ASSERT_TRUE(r.start.ok());
  const std::string fds = reply;
  EXPECT_NE(fds.find("3=" + (dir.path() / "passed-file").string()), std::string::npos) << fds;
  EXPECT_EQ(fds.find("other-file"), std::string::npos) << fds;
}

}  // namespace
