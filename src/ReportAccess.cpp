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
#include "SettingsFiles.h"
#include "SmallFile.h"

const char* const kBearerHeaderArgument = "@/dev/fd/3";
static_assert(kPassedDescriptor == 3, "kBearerHeaderArgument names descriptor 3");

namespace {

// PATH for curl when the daemon was started without one.
constexpr const char* kDefaultPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

}  // namespace

ReportTarget ReportTargetFrom(const SiteSettings& settings, const std::string& site_id) {
  ReportTarget target;
  target.url = EffectiveReportUrl(settings);
  target.url_configured = !settings.report_url.empty();
  target.ca_file = settings.report_ca;
  target.token_file = settings.report_token_file;
  target.site_id = site_id;
  const auto& found = settings.curl_variables;
  if (found.count("PATH") == 0) target.curl_environment.push_back(kDefaultPath);
  for (const char* name : kCurlVariables) {
    auto value = found.find(name);
    if (value != found.end()) target.curl_environment.push_back(std::string(name) + "=" + value->second);
  }
  return target;
}

Status ReadReportToken(const char* path, std::string& token) {
  bool readable_by_others = false;
  int error = ReadSmallFile(path, kMaxTokenFileSize, token, &readable_by_others);
  if (error == kNotRegularFile) NoteNotRegularFile("NETWORKPROXY_REPORT_TOKEN_FILE");
  if (error != 0) return Status::FromErrno(error);
  if (readable_by_others) NoteReadableByOthers(path);
  // Shrinking keeps the buffer, so WipeString still reaches every byte.
  std::size_t end = token.find_first_of("\r\n");
  if (end != std::string::npos) token.resize(end);
  return token.empty() ? Status::FromErrno(ENODATA) : Status::Ok();
}

namespace {

// The value of `name` in curl's environment; empty when it is not there.
std::string CapturedVariable(const ReportTarget& target, const char* name) {
  const std::string prefix = std::string(name) + "=";
  for (const std::string& entry : target.curl_environment) {
    if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
  }
  return std::string();
}

std::string FirstCaptured(const ReportTarget& target, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::string value = CapturedVariable(target, name);
    if (!value.empty()) return value;
  }
  return std::string();
}

}  // namespace

std::string ReportProxyFor(const ReportTarget& target) {
  const std::string& url = target.url;
  std::string proxy;
  if (url.compare(0, 8, "https://") == 0) {
    proxy = FirstCaptured(target, {"https_proxy", "HTTPS_PROXY"});
  } else if (url.compare(0, 7, "http://") == 0) {
    proxy = FirstCaptured(target, {"http_proxy"});
  }
  return proxy.empty() ? FirstCaptured(target, {"all_proxy", "ALL_PROXY"}) : proxy;
}

std::string ReportNoProxy(const ReportTarget& target) { return FirstCaptured(target, {"no_proxy", "NO_PROXY"}); }

std::string UsableCaFile(const std::string& ca_file) {
  if (!IsNotRegularFile(ca_file.c_str())) return ca_file;
  NoteNotRegularFile("NETWORKPROXY_REPORT_CA");
  return "/dev/null";
}

std::vector<std::string> ReportTransportArguments(const ReportTarget& target) {
  std::vector<std::string> arguments;
  if (target.url_configured) {
    // A configured URL may only lead to the reporting server, never to a
    // local file or another protocol curl happens to know.
    arguments.insert(arguments.end(), {"--proto", "=http,https"});
  }
  if (!target.ca_file.empty()) arguments.insert(arguments.end(), {"--cacert", UsableCaFile(target.ca_file)});
  return arguments;
}

BearerHeader::~BearerHeader() {
  if (fd_ >= 0) close(fd_);
}

Status BearerHeader::Fill(const std::string& token) {
  // Built in one buffer sized up front: no intermediate copy of the token
  // is left behind unwiped.
  std::string header;
  header.reserve(token.size() + 32);
  header.append("Authorization: Bearer ").append(token).append("\n");
  fd_ = memfd_create("networkproxy-report-header", MFD_CLOEXEC);
  const Status status =
      fd_ < 0 ? Status::FromErrno(errno) : WriteAll(fd_, header.data(), header.size());
  WipeString(header);
  if (!status.ok() && fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  return status;
}
