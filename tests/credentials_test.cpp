// Where the firmware check's key pair comes from: the site's credentials
// file, else the compiled-in pair; a broken file is an error, never a
// silent fall back.
#include "Credentials.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "temp_cwd.h"

namespace {

class CredentialsTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    return path_;
  }

  TempWorkingDir dir_{"credentials_test"};
  std::string path_ = (dir_.path() / "aws-credentials").string();
  S3Credentials out_;
};

TEST_F(CredentialsTest, MissingFileFallsBackToCompiledInPair) {
  for (const char* path : {static_cast<const char*>(nullptr), "", "/nonexistent/aws-credentials"}) {
    CredentialsLookup lookup = LookUpCredentials(path, nullptr, out_);
    EXPECT_EQ(lookup.source, CredentialsSource::kCompiledIn) << (path ? path : "(null)");
    EXPECT_EQ(out_.access_key_id, kAccessKeyId);
    EXPECT_EQ(out_.secret_access_key, kSecretAccessKey);
    EXPECT_EQ(out_.session_token, "");
  }
}

TEST_F(CredentialsTest, ReadsTheNamedProfileNotAnother) {
  Write("# site keys\r\n"
        "[default]\r\n"
        "aws_access_key_id = AKIADEFAULT000000000\r\n"
        "aws_secret_access_key = default/secret\r\n"
        "\r\n"
        "[ site-7 ]\r\n"
        "; rotated monthly\r\n"
        "aws_access_key_id=AKIASITE700000000000\r\n"
        "  aws_secret_access_key =  site/7+secret==  \r\n"
        "aws_session_token = token/with=equals\r\n"
        "region = ignored\r\n");
  CredentialsLookup lookup = LookUpCredentials(path_.c_str(), "site-7", out_);
  ASSERT_EQ(lookup.source, CredentialsSource::kFile) << lookup.error;
  EXPECT_EQ(out_.access_key_id, "AKIASITE700000000000");
  EXPECT_EQ(out_.secret_access_key, "site/7+secret==");
  EXPECT_EQ(out_.session_token, "token/with=equals");

  lookup = LookUpCredentials(path_.c_str(), nullptr, out_);
  ASSERT_EQ(lookup.source, CredentialsSource::kFile) << lookup.error;
  EXPECT_EQ(out_.access_key_id, "AKIADEFAULT000000000");
  EXPECT_EQ(out_.secret_access_key, "default/secret");
  EXPECT_EQ(out_.session_token, "") << "a token of another profile leaked in";
}

TEST_F(CredentialsTest, BrokenFileIsAnErrorWithoutSecretsOrFallback) {
  struct Case {
    const char* content;
    const char* reason;
  } cases[] = {
      {"[other]\naws_access_key_id = AKIAOTHER\naws_secret_access_key = s3cr3t-other\n",
       "no profile [default] in "},
      {"[default]\naws_secret_access_key = s3cr3t-only\n",
       "profile [default] has no aws_access_key_id in "},
      {"[default]\naws_access_key_id = AKIAONLY\naws_secret_access_key =\n",
       "profile [default] has no aws_secret_access_key in "},
      {"", "no profile [default] in "},
  };
  for (const Case& c : cases) {
    Write(c.content);
    CredentialsLookup lookup = LookUpCredentials(path_.c_str(), "default", out_);
    EXPECT_EQ(lookup.source, CredentialsSource::kError) << c.content;
    EXPECT_EQ(lookup.error, c.reason + path_);
    EXPECT_EQ(lookup.error.find("s3cr3t"), std::string::npos);
    EXPECT_EQ(out_.access_key_id, "") << "half a key pair must not be used";
    EXPECT_EQ(out_.secret_access_key, "");
  }
}

TEST_F(CredentialsTest, UnreadableFileIsAnErrorWithTheSystemReason) {
  // A directory in the file's place: unreadable even for root.
  std::filesystem::create_directory(path_);
  CredentialsLookup lookup = LookUpCredentials(path_.c_str(), nullptr, out_);
  EXPECT_EQ(lookup.source, CredentialsSource::kError);
  EXPECT_EQ(lookup.error, "cannot read " + path_);
  EXPECT_EQ(lookup.system_error, EISDIR);
  EXPECT_EQ(out_.access_key_id, "");
}

TEST_F(CredentialsTest, OversizedFileIsRefused) {
  std::string big = "[default]\naws_access_key_id = AKIABIG\naws_secret_access_key = s\n";
  big.append(70 * 1024, '#');
  Write(big);
  CredentialsLookup lookup = LookUpCredentials(path_.c_str(), nullptr, out_);
  EXPECT_EQ(lookup.source, CredentialsSource::kError);
  EXPECT_EQ(lookup.system_error, EFBIG);
}

// A FIFO would block the update worker until some writer came; a device is
// no credentials file either. Each is refused at once, by name.
TEST_F(CredentialsTest, FifoOrDeviceIsRefusedWithoutBlocking) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  for (const std::string& path : {path_, std::string("/dev/null")}) {
    CredentialsLookup lookup = LookUpCredentials(path.c_str(), nullptr, out_);
    EXPECT_EQ(lookup.source, CredentialsSource::kError) << path;
    EXPECT_EQ(lookup.error, "AWS_SHARED_CREDENTIALS_FILE - not a regular file") << path;
    EXPECT_TRUE(out_.access_key_id.empty()) << path;
  }
}

TEST_F(CredentialsTest, FileOthersCanReadIsUsedAndSaysSo) {
  Write("[default]\naws_access_key_id = AKIDOTHERS\naws_secret_access_key = s\n");
  for (mode_t mode : {0640, 0644}) {
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    CredentialsLookup lookup = LookUpCredentials(path_.c_str(), nullptr, out_);
    EXPECT_EQ(lookup.source, CredentialsSource::kFile);
    EXPECT_EQ(lookup.readable_by_others, mode == 0644) << std::oct << mode;
  }
}

TEST(WipeStringTest, OverwritesTheWholeBufferAndEmpties) {
  std::string secret = "a secret longer than the small-string buffer";
  const char* buffer = secret.data();
  const std::size_t capacity = secret.capacity();
  WipeString(secret);
  EXPECT_TRUE(secret.empty());
  EXPECT_EQ(secret.data(), buffer) << "wiped a copy instead of the buffer";
  for (std::size_t i = 0; i < capacity; ++i) ASSERT_EQ(buffer[i], '\0') << i;
}

}  // namespace
