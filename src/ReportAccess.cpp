#include "ReportAccess.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "ChildProcess.h"
#include "WriteAll.h"
#include "Credentials.h"
#include "Settings.h"
#include "SettingsFiles.h"
#include "SmallFile.h"

const char* const kBearerHeaderArgument = "@/dev/fd/3";
static_assert(kPassedDescriptor == 3, "kBearerHeaderArgument names descriptor 3");

namespace {

// A token is one short line; a bigger file is not a token file.
constexpr std::size_t kMaxTokenFileSize = 16 * 1024;

// PATH for curl when the daemon was started without one.
constexpr const char* kDefaultPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// curl's environment: the texts and the pointer vector that execve takes.
struct CurlEnvironment {
  std::vector<std::string> entries;
  std::vector<const char*> pointers;
};

CurlEnvironment* BuildEnvironment() {
  auto* environment = new CurlEnvironment;
  // As the daemon found them at start-up.
  const auto& found = StartupSiteSettings().curl_variables;
  if (found.count("PATH") == 0) environment->entries.push_back(kDefaultPath);
  for (const char* name : kCurlVariables) {
    auto value = found.find(name);
    if (value != found.end()) environment->entries.push_back(std::string(name) + "=" + value->second);
  }
  for (const std::string& entry : environment->entries) {
    environment->pointers.push_back(entry.c_str());
  }
  environment->pointers.push_back(nullptr);
  return environment;
}

}  // namespace

int ReadReportToken(const char* path, std::string& token) {
  bool readable_by_others = false;
  int error = ReadSmallFile(path, kMaxTokenFileSize, token, &readable_by_others);
  if (error == kNotRegularFile) NoteNotRegularFile("NETWORKPROXY_REPORT_TOKEN_FILE");
  if (error != 0) return error;
  if (readable_by_others) NoteReadableByOthers(path);
  // Shrinking keeps the buffer, so WipeString still reaches every byte.
  std::size_t end = token.find_first_of("\r\n");
  if (end != std::string::npos) token.resize(end);
  return token.empty() ? ENODATA : 0;
}

const char* const* ReportCurlEnvironment() {
  // Built once and never destroyed: a worker may start curl while the
  // process exits.
  static const CurlEnvironment* const environment = BuildEnvironment();
  return environment->pointers.data();
}

namespace {

// The value of `name` in curl's environment; empty when it is not there.
std::string CapturedVariable(const char* name) {
  const std::string prefix = std::string(name) + "=";
  for (const char* const* entry = ReportCurlEnvironment(); *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0) return *entry + prefix.size();
  }
  return std::string();
}

std::string FirstCaptured(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::string value = CapturedVariable(name);
    if (!value.empty()) return value;
  }
  return std::string();
}

}  // namespace

std::string ReportProxyFor(const std::string& url) {
  std::string proxy;
  if (url.compare(0, 8, "https://") == 0) {
    proxy = FirstCaptured({"https_proxy", "HTTPS_PROXY"});
  } else if (url.compare(0, 7, "http://") == 0) {
    proxy = FirstCaptured({"http_proxy"});
  }
  return proxy.empty() ? FirstCaptured({"all_proxy", "ALL_PROXY"}) : proxy;
}

std::string ReportNoProxy() { return FirstCaptured({"no_proxy", "NO_PROXY"}); }

std::vector<std::string> ReportTransportArguments() {
  std::vector<std::string> arguments;
  if (ReportUrlSetting() != nullptr) {
    // A configured URL may only lead to the reporting server, never to a
    // local file or another protocol curl happens to know.
    arguments.insert(arguments.end(), {"--proto", "=http,https"});
  }
  if (ReportCaFile() != nullptr) {
    // curl would block on a FIFO while loading the bundle. An empty bundle
    // instead makes it fail at once (exit status 77, the bundle could not
    // be used), and nothing is sent without the site's CA.
    const bool refused = IsNotRegularFile(ReportCaFile());
    if (refused) NoteNotRegularFile("NETWORKPROXY_REPORT_CA");
    arguments.insert(arguments.end(), {"--cacert", refused ? "/dev/null" : ReportCaFile()});
  }
  return arguments;
}

BearerHeader::~BearerHeader() {
  if (fd_ >= 0) close(fd_);
}

bool BearerHeader::Open(const char* token_file) {
  std::string token;
  error_ = ReadReportToken(token_file, token);
  if (error_ == 0) {
    // Built in one buffer sized up front: no intermediate copy of the token
    // is left behind unwiped.
    std::string header;
    header.reserve(token.size() + 32);
    header.append("Authorization: Bearer ").append(token).append("\n");
    fd_ = memfd_create("networkproxy-report-header", MFD_CLOEXEC);
    if (fd_ < 0 || !WriteAll(fd_, header.data(), header.size())) error_ = errno;
    WipeString(header);
  }
  WipeString(token);
  if (error_ != 0 && fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  return error_ == 0;
}
