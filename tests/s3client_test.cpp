// S3Client against tools/s3-standin, a local S3 stand-in that checks the
// SigV4 signature of every request with botocore and can inject faults.
#include "S3Client.h"
#include "SiteSettings.h"

#include "ImageDownload.h"
#include "PartialDownload.h"

#include "ChildProcess.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "temp_cwd.h"

namespace fs = std::filesystem;

namespace {

class CurlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};
[[maybe_unused]] const auto* const kCurlEnvironment =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

const char kRegion[] = "ap-southeast-2";
const char kBucket[] = "networkproxy-firmware";
const char kAccessKey[] = "AKIDS3CLIENTTEST0001";
// Has '/' and '+' in it, like real secret keys may.
const char kSecretKey[] = "s3client/test+secret/K7MDENG/bPxRfiCYTEST";
const S3Client::Limits kLimits{1 << 20, std::chrono::seconds(60)};

fs::path SourceDir() {
#ifdef NETWORKPROXY_SOURCE_DIR
  return fs::path(NETWORKPROXY_SOURCE_DIR);
#else
  return fs::path(__FILE__).parent_path().parent_path();
#endif
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// Sets or unsets environment variables and puts back the old values.
class ScopedEnv {
 public:
  ~ScopedEnv() {
    for (const auto& [name, old] : saved_) {
      if (old.first) {
        setenv(name.c_str(), old.second.c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    if (saved_.count(name)) return;
    const char* v = std::getenv(name.c_str());
    saved_[name] = {v != nullptr, v ? v : ""};
  }
  std::map<std::string, std::pair<bool, std::string>> saved_;
};

class S3ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/s3client_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    root_ = dir_ / "root";
    fs::create_directories(root_ / kBucket);
    // Keys in the environment must not matter: the client has its own.
    env_.Set("AWS_ACCESS_KEY_ID", "AKIAENVIRONMENTKEY00");
    env_.Set("AWS_SECRET_ACCESS_KEY", "environment/secret/not/to/be/used/at/all");
    env_.Set("AWS_SESSION_TOKEN", "environment-token");
    env_.Unset("AWS_ENDPOINT_URL");
    StartStandin({});
  }

  void TearDown() override {
    StopStandin();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void StartStandin(const std::vector<std::string>& extra_args) {
    const fs::path port_file = dir_ / "port";
    fs::remove(port_file);
    std::vector<std::string> args = {"python3",
                                     (SourceDir() / "tools" / "s3-standin").string(),
                                     "--root", root_.string(),
                                     "--port", "0",
                                     "--port-file", port_file.string(),
                                     "--request-log", (dir_ / "requests.log").string(),
                                     "--access-key", kAccessKey,
                                     "--secret-key", kSecretKey,
                                     "--region", kRegion};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      int devnull = open("/dev/null", O_WRONLY);
      if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
      execvp("python3", argv.data());
      _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string port;
    while (std::chrono::steady_clock::now() < deadline) {
      port = ReadFile(port_file);
      if (!port.empty() && port.back() == '\n') break;
      int status = 0;
      ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "s3-standin exited early";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(port.empty()) << "s3-standin did not start";
    port.pop_back();
    port_ = port;
    client_ = S3Client(kRegion, S3Credentials(kAccessKey, kSecretKey), Endpoint());
  }

  std::string Endpoint() const { return "http://127.0.0.1:" + port_; }

  void StopStandin() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

  void PutObject(const std::string& key, const std::string& content) {
    WriteFile(root_ / kBucket / key, content);
  }

  void SetFaults(const std::string& json) { WriteFile(root_ / ".faults.json", json); }

  std::vector<std::string> RequestLog() {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_ / "requests.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string LogLine(const std::string& encoded_key, int status) {
    return "GET /" + std::string(kBucket) + "/" + encoded_key + " " + std::to_string(status);
  }

  S3Client client_{kRegion, S3Credentials(kAccessKey, kSecretKey)};
  ScopedEnv env_;
  fs::path dir_;
  fs::path root_;
  pid_t pid_ = -1;
  std::string port_;
};

TEST_F(S3ClientTest, FetchesObject) {
  PutObject("update.txt", "1.0.9\nrest\n");
  S3Client::Object obj = client_.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_EQ(obj.http_status, 200);
  EXPECT_EQ(obj.body, "1.0.9\nrest\n");
  EXPECT_EQ(obj.error, "");
  EXPECT_EQ(RequestLog(), std::vector<std::string>{LogLine("update.txt", 200)});
}

TEST_F(S3ClientTest, FetchesBinaryObjectByteForByte) {
  std::string image(300 * 1024 + 7, '\0');
  std::mt19937 gen(42);
  for (auto& c : image) c = static_cast<char>(gen() % 4 == 0 ? 0 : gen() & 0xFF);
  image[0] = '\0';
  image[image.size() - 1] = '\0';
  PutObject("Version_1.0.9.hex", image);
  S3Client::Object obj = client_.GetObject(kBucket, "Version_1.0.9.hex", kLimits);
  ASSERT_TRUE(obj.ok) << obj.error;
  EXPECT_EQ(obj.body.size(), image.size());
  EXPECT_TRUE(obj.body == image);
}

TEST_F(S3ClientTest, FetchesEmptyObject) {
  PutObject("Version_.hex", "");
  S3Client::Object obj = client_.GetObject(kBucket, "Version_.hex", kLimits);
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_EQ(obj.body, "");
}

TEST_F(S3ClientTest, SignsKeysThatNeedEncoding) {
  const std::vector<std::string> keys = {
      "dir/sub dir/a b.hex",
      "plus+tilde~equals=amp&.hex",
      "Version_1.0.9\r.hex",
      "unicode-\xC3\xBC\xE2\x82\xAC.hex",
      "odd !$'()*,;:@[]#?%.hex",
      "Version_1234567890123456789012345678901.hex",
  };
  for (const auto& key : keys) {
    PutObject(key, "content of " + key);
    S3Client::Object obj = client_.GetObject(kBucket, key, kLimits);
    EXPECT_TRUE(obj.ok) << key << ": " << obj.error;
    EXPECT_EQ(obj.body, "content of " + key);
  }
  auto log = RequestLog();
  ASSERT_EQ(log.size(), keys.size());
  EXPECT_EQ(log[0], LogLine("dir/sub%20dir/a%20b.hex", 200));
  EXPECT_EQ(log[1], LogLine("plus%2Btilde~equals%3Damp%26.hex", 200));
  EXPECT_EQ(log[2], LogLine("Version_1.0.9%0D.hex", 200));
  EXPECT_EQ(log[3], LogLine("unicode-%C3%BC%E2%82%AC.hex", 200));
}

TEST_F(S3ClientTest, WrongSecretIsRefusedAtOnce) {
  PutObject("update.txt", "1.0.9\n");
  S3Client client(kRegion, S3Credentials(kAccessKey, "not-the-right-secret/K7MDENG/bPxRfiCYTE"),
                  Endpoint());
  S3Client::Object obj = client.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 403);
  EXPECT_EQ(obj.body, "");
  EXPECT_NE(obj.error.find("SignatureDoesNotMatch"), std::string::npos) << obj.error;
  EXPECT_EQ(RequestLog(), std::vector<std::string>{LogLine("update.txt", 403)});
}

TEST_F(S3ClientTest, UnknownAccessKeyIsRefusedAtOnce) {
  PutObject("update.txt", "1.0.9\n");
  S3Client client(kRegion, S3Credentials("AKIAUNKNOWNKEY000000", kSecretKey), Endpoint());
  S3Client::Object obj = client.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 403);
  EXPECT_NE(obj.error.find("InvalidAccessKeyId"), std::string::npos) << obj.error;
  EXPECT_EQ(RequestLog().size(), 1u);
}

TEST_F(S3ClientTest, MissingCredentialsFailWithoutRequest) {
  PutObject("update.txt", "1.0.9\n");
  S3Client client(kRegion, S3Credentials("", kSecretKey), Endpoint());
  S3Client::Object obj = client.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 0);
  EXPECT_FALSE(obj.error.empty());
  EXPECT_TRUE(RequestLog().empty());
}

TEST_F(S3ClientTest, MissingObjectFailsWithoutRetry) {
  S3Client::Object obj = client_.GetObject(kBucket, "Version_9.9.9.hex", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 404);
  EXPECT_EQ(obj.body, "");
  EXPECT_NE(obj.error.find("NoSuchKey"), std::string::npos) << obj.error;
  EXPECT_EQ(RequestLog(), std::vector<std::string>{LogLine("Version_9.9.9.hex", 404)});
}

TEST_F(S3ClientTest, ServerErrorIsRetried) {
  PutObject("update.txt", "1.0.9\n");
  SetFaults(R"({"networkproxy-firmware/update.txt": {"status": 500, "times": 1}})");
  S3Client::Object obj = client_.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_EQ(obj.http_status, 200);
  EXPECT_EQ(obj.body, "1.0.9\n");
  EXPECT_EQ(RequestLog(), (std::vector<std::string>{LogLine("update.txt", 500),
                                                    LogLine("update.txt", 200)}));
}

TEST_F(S3ClientTest, PersistentServerErrorGivesUpAfterFewAttempts) {
  PutObject("update.txt", "1.0.9\n");
  SetFaults(R"({"networkproxy-firmware/update.txt": {"status": 503}})");
  const auto start = std::chrono::steady_clock::now();
  S3Client::Object obj = client_.GetObject(kBucket, "update.txt", kLimits);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 503);
  EXPECT_NE(obj.error.find("SlowDown"), std::string::npos) << obj.error;
  const auto log = RequestLog();
  EXPECT_GE(log.size(), 2u);
  EXPECT_LE(log.size(), 5u);
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(S3ClientTest, DroppedConnectionIsRetried) {
  PutObject("update.txt", "1.0.9\n");
  SetFaults(R"({"networkproxy-firmware/update.txt": {"mode": "close", "times": 1}})");
  S3Client::Object obj = client_.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_EQ(obj.body, "1.0.9\n");
  EXPECT_EQ(RequestLog(), (std::vector<std::string>{LogLine("update.txt", 0),
                                                    LogLine("update.txt", 200)}));
}

TEST_F(S3ClientTest, ClientsSharingAHandleReuseItsConnection) {
  PutObject("update.txt", "1.0.9\n");
  S3Handle kept;
  S3Handle fresh(S3Handle::Reuse::kFreshPerRequest);
  const S3Credentials credentials(kAccessKey, kSecretKey);
  std::vector<long> kept_connects, fresh_connects;
  for (int check = 0; check < 2; ++check) {
    // A client per check, as the daemon makes one.
    S3Client::Object a =
        S3Client(kRegion, credentials, Endpoint(), &kept).GetObject(kBucket, "update.txt", kLimits);
    S3Client::Object b = S3Client(kRegion, credentials, Endpoint(), &fresh)
                             .GetObject(kBucket, "update.txt", kLimits);
    ASSERT_TRUE(a.ok && b.ok) << a.error << b.error;
    kept_connects.push_back(a.new_connections);
    fresh_connects.push_back(b.new_connections);
  }
  EXPECT_EQ(kept_connects, (std::vector<long>{1, 0}));
  EXPECT_EQ(fresh_connects, (std::vector<long>{1, 1}));
  // A connection the server dropped meanwhile is replaced within the request.
  SetFaults(R"({"networkproxy-firmware/update.txt": {"mode": "close", "times": 1}})");
  S3Client::Object dropped =
      S3Client(kRegion, credentials, Endpoint(), &kept).GetObject(kBucket, "update.txt", kLimits);
  EXPECT_TRUE(dropped.ok) << dropped.error;
  S3Client::Object after =
      S3Client(kRegion, credentials, Endpoint(), &kept).GetObject(kBucket, "update.txt", kLimits);
  EXPECT_TRUE(after.ok) << after.error;
  EXPECT_EQ(after.new_connections, 0);
}

TEST_F(S3ClientTest, CutAnswerKeepsItsBytesAndRangeAsksForTheRest) {
  const std::string image = std::string(6000, 'a') + std::string(4000, 'b');
  PutObject("Version_1.0.9.hex", image);
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex": {"mode": "short", "bytes": 6000, "times": 1}})");
  S3Request keep;
  keep.keep_cut = true;
  S3AttemptResult cut = client_.GetObjectOnce(kBucket, "Version_1.0.9.hex", kLimits, keep);
  ASSERT_FALSE(cut.object.ok);
  EXPECT_TRUE(cut.object.cut);
  EXPECT_TRUE(cut.retryable);
  EXPECT_EQ(cut.object.body, image.substr(0, 6000));
  EXPECT_EQ(cut.object.content_length, 10000);
  EXPECT_FALSE(cut.object.checksum_sha256.empty());
  ASSERT_FALSE(cut.object.etag.empty());

  S3Request rest;
  rest.range = "Range: bytes=6000-";
  rest.if_match = "If-Match: " + cut.object.etag;
  S3AttemptResult second = client_.GetObjectOnce(kBucket, "Version_1.0.9.hex", kLimits, rest);
  ASSERT_TRUE(second.object.ok) << second.object.error;
  EXPECT_EQ(second.object.http_status, 206);
  EXPECT_EQ(second.object.content_range, "bytes 6000-9999/10000");
  EXPECT_EQ(second.object.body, image.substr(6000));

  rest.if_match = "If-Match: \"another\"";
  S3AttemptResult changed = client_.GetObjectOnce(kBucket, "Version_1.0.9.hex", kLimits, rest);
  EXPECT_EQ(changed.object.http_status, 412);
  EXPECT_FALSE(changed.object.cut);
  EXPECT_TRUE(changed.object.body.empty());
}

// The image download's own resume steps, on the stand-in's real answers: a
// corrupted part must never reach the image, and a part of another version
// must never be continued.
TEST_F(S3ClientTest, ResumedImageIsCheckedWholeAndAPartOfAnotherVersionIsNotContinued) {
  std::string image;
  for (int i = 0; i < 10000; ++i) image.push_back(static_cast<char>((i * 31) & 0xFF));
  PutObject("Version_1.0.9.hex", image);
  TempWorkingDir cwd("image-download");  // for the daemon log it writes
  const std::string path = (dir_ / "fw.hex").string();
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex": {"mode": "short", "bytes": 2000}})");
  std::string got;
  ASSERT_FALSE(DownloadImage(client_, kBucket, path, "Version_1.0.9.hex", "1.0.9", &got).ok());
  HeldPartResult held = LoadPart(path);
  ASSERT_EQ(held.part.size, 6000u);  // three cut answers, each one kept
  EXPECT_EQ(held.part.version, "1.0.9");

  // One byte of the part changed on disk: the whole image fails its
  // checksum, the part goes, and the next download starts from byte 0.
  SetFaults("{}");
  {
    std::fstream part(PartPath(path), std::ios::in | std::ios::out | std::ios::binary);
    part.seekp(100);
    part.put('\x7f');
  }
  const Status corrupt =
      DownloadImage(client_, kBucket, path, "Version_1.0.9.hex", "1.0.9", &got);
  EXPECT_NE(corrupt.reason().find("checksum mismatch"), std::string::npos) << corrupt.reason();
  EXPECT_FALSE(LoadPart(path).part.resumable());
  ASSERT_TRUE(DownloadImage(client_, kBucket, path, "Version_1.0.9.hex", "1.0.9", &got).ok());
  EXPECT_EQ(got, image);

  // A part kept for 1.0.8 of the same object is not continued for 1.0.9.
  ASSERT_TRUE(StartPart(path, "\"" + std::string(32, '0') + "\"", 10000, image.substr(0, 10),
                        "1.0.8").ok());
  const std::size_t before = RequestLog().size();
  ASSERT_TRUE(DownloadImage(client_, kBucket, path, "Version_1.0.9.hex", "1.0.9", &got).ok());
  EXPECT_EQ(got, image);
  const std::vector<std::string> log = RequestLog();
  EXPECT_EQ(std::vector<std::string>(log.begin() + before, log.end()),
            std::vector<std::string>{LogLine("Version_1.0.9.hex", 200)});
  EXPECT_FALSE(std::ifstream(PartPath(path)).good());
}

TEST_F(S3ClientTest, ShortBodyIsFailure) {
  PutObject("Version_1.0.9.hex", std::string(10000, 'x'));
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex": {"mode": "short"}})");
  S3Client::Object obj = client_.GetObject(kBucket, "Version_1.0.9.hex", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.body, "");
  EXPECT_FALSE(obj.error.empty());
}

TEST_F(S3ClientTest, ShortBodyOnceIsRetried) {
  PutObject("Version_1.0.9.hex", std::string(10000, 'x'));
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex": {"mode": "short", "times": 1}})");
  S3Client::Object obj = client_.GetObject(kBucket, "Version_1.0.9.hex", kLimits);
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_EQ(obj.body, std::string(10000, 'x'));
  EXPECT_EQ(RequestLog().size(), 2u);
}

TEST_F(S3ClientTest, ChecksumMismatchIsFailure) {
  PutObject("Version_1.0.9.hex", "image bytes");
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex": {"mode": "bad-checksum"}})");
  S3Client::Object obj = client_.GetObject(kBucket, "Version_1.0.9.hex", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 200);
  EXPECT_EQ(obj.body, "");
  EXPECT_NE(obj.error.find("checksum"), std::string::npos) << obj.error;
  EXPECT_EQ(RequestLog().size(), 1u);
}

TEST_F(S3ClientTest, SlowBodyArrivesWhole) {
  std::string image(256 * 1024, 'y');
  PutObject("Version_1.0.9.hex", image);
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex":
                {"mode": "slow", "chunk": 65536, "delay": 0.3}})");
  S3Client::Object obj = client_.GetObject(kBucket, "Version_1.0.9.hex", kLimits);
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_TRUE(obj.body == image);
  EXPECT_EQ(RequestLog().size(), 1u);
}

TEST_F(S3ClientTest, ObjectLargerThanBoundFailsAtOnceUnread) {
  PutObject("update.txt", std::string(4097, 'v'));
  S3Client::Object obj =
      client_.GetObject(kBucket, "update.txt", {4096, std::chrono::seconds(30)});
  EXPECT_FALSE(obj.ok);
  EXPECT_TRUE(obj.too_large);
  EXPECT_EQ(obj.body, "");
  EXPECT_EQ(RequestLog().size(), 1u) << "a refused size is not retried";

  PutObject("update.txt", std::string(4096, 'v'));
  obj = client_.GetObject(kBucket, "update.txt", {4096, std::chrono::seconds(30)});
  EXPECT_TRUE(obj.ok) << obj.error;
}

TEST_F(S3ClientTest, TricklingBodyEndsAtDeadline) {
  // Faster than any low-speed limit would notice, slower than the deadline.
  PutObject("Version_1.0.9.hex", std::string(100, 'y'));
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex":
                {"mode": "slow", "chunk": 2, "delay": 0.2}})");
  const auto start = std::chrono::steady_clock::now();
  S3Client::Object obj =
      client_.GetObject(kBucket, "Version_1.0.9.hex", {1 << 20, std::chrono::seconds(2)});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.body, "");
  EXPECT_LT(elapsed, std::chrono::seconds(8));
}

TEST_F(S3ClientTest, BodyStreamsToFileWithChecksumCheckedOnTheWay) {
  std::string image(300 * 1024 + 3, '\0');
  std::mt19937 gen(7);
  for (auto& c : image) c = static_cast<char>(gen() & 0xFF);
  PutObject("Version_1.0.9.hex", image);
  // The first attempt is cut short; the second must not follow its bytes.
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex": {"mode": "short", "times": 1}})");
  const fs::path target = dir_ / "image";
  int fd = open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  S3Client::Object obj = client_.GetObjectToFile(kBucket, "Version_1.0.9.hex", fd, kLimits);
  close(fd);
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_EQ(obj.body, "");
  EXPECT_TRUE(ReadFile(target) == image);
  EXPECT_EQ(RequestLog().size(), 2u);

  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex": {"mode": "bad-checksum"}})");
  fd = open(target.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  obj = client_.GetObjectToFile(kBucket, "Version_1.0.9.hex", fd, kLimits);
  close(fd);
  EXPECT_FALSE(obj.ok);
  EXPECT_NE(obj.error.find("checksum"), std::string::npos) << obj.error;

  fd = open(target.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  SetFaults("{}");
  obj = client_.GetObjectToFile(kBucket, "Version_1.0.9.hex", fd, {1024, std::chrono::seconds(30)});
  close(fd);
  EXPECT_TRUE(obj.too_large);
  EXPECT_EQ(fs::file_size(target), 0u);
}

TEST_F(S3ClientTest, SessionTokenIsSent) {
  StopStandin();
  StartStandin({"--session-token", "FwoGZXIvYXdzE+token/value=="});
  PutObject("update.txt", "1.0.9\n");

  S3Client with_token_client(
      kRegion, S3Credentials(kAccessKey, kSecretKey, "FwoGZXIvYXdzE+token/value=="), Endpoint());
  S3Client::Object with_token = with_token_client.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_TRUE(with_token.ok) << with_token.error;

  S3Client::Object without = client_.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_FALSE(without.ok);
  EXPECT_EQ(without.http_status, 403);
  EXPECT_NE(without.error.find("InvalidToken"), std::string::npos) << without.error;
}

TEST_F(S3ClientTest, UnexpectedSessionTokenIsRefused) {
  PutObject("update.txt", "1.0.9\n");
  S3Client client(kRegion, S3Credentials(kAccessKey, kSecretKey, "stray-token"), Endpoint());
  S3Client::Object obj = client.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 403);
}

TEST_F(S3ClientTest, NoServerIsNetworkFailure) {
  StopStandin();
  S3Client::Object obj = client_.GetObject(kBucket, "update.txt", kLimits);
  EXPECT_FALSE(obj.ok);
  EXPECT_EQ(obj.http_status, 0);
  EXPECT_NE(obj.error.find("network"), std::string::npos) << obj.error;
}

// A child process that another thread starts while a transfer runs must not
// inherit any of the transfer's sockets (libcurl opens some without
// close-on-exec), or a long-lived child could keep a connection open.
TEST_F(S3ClientTest, ChildStartedDuringTransferInheritsNoSocket) {
  PutObject("Version_1.0.9.hex", std::string(4096, 'z'));
  SetFaults(R"({"networkproxy-firmware/Version_1.0.9.hex":
                {"mode": "slow", "chunk": 1024, "delay": 0.25}})");
  std::atomic<bool> done{false};
  std::atomic<int> children{0};
  std::string inherited;
  std::thread starter([&] {
    // The body trickles in from 250 ms on; by 100 ms every descriptor of the
    // transfer exists.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const char* argv[] = {"/bin/sh", "-c",
                          "for f in /proc/$$/fd/*; do readlink $f; done", nullptr};
    while (!done) {
      char output[4096] = {0};
      ChildResult run = RunCapture(argv, output, sizeof output);
      if (run.start.ok()) ++children;
      if (std::string(output).find("socket:") != std::string::npos) inherited = output;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  S3Client::Object obj = client_.GetObject(kBucket, "Version_1.0.9.hex", kLimits);
  done = true;
  starter.join();
  EXPECT_TRUE(obj.ok) << obj.error;
  EXPECT_GT(children.load(), 0);
  EXPECT_EQ(inherited, "");
}

class S3ClientUrlTest : public ::testing::Test {
 protected:
  S3Client client_{kRegion};
};

TEST_F(S3ClientUrlTest, VirtualHostStyleWithoutEndpoint) {
  EXPECT_EQ(client_.ObjectUrl("networkproxy-firmware", "update.txt"),
            "https://networkproxy-firmware.s3.ap-southeast-2.amazonaws.com/update.txt");
  EXPECT_EQ(S3Client("us-west-2").ObjectUrl("b", "k"),
            "https://b.s3.us-west-2.amazonaws.com/k");
}

TEST_F(S3ClientUrlTest, KeyIsPathEncoded) {
  EXPECT_EQ(client_.ObjectUrl("b", "dir/a b+c~d_e-f.g=h&\r\xE2\x82\xAC%"),
            "https://b.s3.ap-southeast-2.amazonaws.com/dir/a%20b%2Bc~d_e-f.g%3Dh%26%0D%E2%82%AC%25");
  EXPECT_EQ(client_.ObjectUrl("b", ""), "https://b.s3.ap-southeast-2.amazonaws.com/");
}

TEST_F(S3ClientUrlTest, PathStyleWithS3Endpoint) {
  EXPECT_EQ(S3Client(kRegion, {}, "http://127.0.0.1:9000").ObjectUrl("bkt", "Version_1.0.9.hex"),
            "http://127.0.0.1:9000/bkt/Version_1.0.9.hex");
}

TEST_F(S3ClientUrlTest, FallsBackToGenericEndpoint) {
  SiteSettings settings;
  settings.general_endpoint = "http://localhost:4566";
  EXPECT_EQ(S3Client(kRegion, {}, S3Endpoint(settings)).ObjectUrl("bkt", "a b"),
            "http://localhost:4566/bkt/a%20b");
  settings.s3_endpoint = "http://127.0.0.1:9000";
  EXPECT_EQ(S3Client(kRegion, {}, S3Endpoint(settings)).ObjectUrl("bkt", "a b"),
            "http://127.0.0.1:9000/bkt/a%20b");
}

TEST_F(S3ClientUrlTest, EmptyEndpointVariableIsIgnored) {
  SiteSettings settings = SiteSettingsFrom(
      {{"AWS_ENDPOINT_URL_S3", ""}, {"AWS_ENDPOINT_URL", "http://localhost:4566"}});
  EXPECT_EQ(S3Client(kRegion, {}, S3Endpoint(settings)).ObjectUrl("bkt", "k"),
            "http://localhost:4566/bkt/k");
}

TEST_F(S3ClientUrlTest, TrailingSlashInEndpoint) {
  EXPECT_EQ(S3Client(kRegion, {}, "http://127.0.0.1:9000/").ObjectUrl("bkt", "k"),
            "http://127.0.0.1:9000/bkt/k");
  EXPECT_EQ(S3Client(kRegion, {}, "https://minio.example:9000/prefix//").ObjectUrl("bkt", "k"),
            "https://minio.example:9000/prefix/bkt/k");
}

}  // namespace
