#include "ReportSession.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>

#include "ChildProcess.h"
#include "Credentials.h"
#include "ReportAccess.h"
#include "Intervals.h"

namespace {

size_t TakeReply(char* data, size_t size, size_t count, void* reader) {
  static_cast<PieceReader*>(reader)->Take(data, size * count);
  return size * count;
}

// Frees a header list after wiping every header in it: one of them holds
// the token.
void FreeWiped(curl_slist* list) {
  for (curl_slist* item = list; item != nullptr; item = item->next) {
    OPENSSL_cleanse(item->data, std::strlen(item->data));
  }
  curl_slist_free_all(list);
}

}  // namespace

ReportSession::ReportSession(const ReportTarget& target)
    : url_(target.url),
      ca_file_(target.ca_file),
      proxy_(ReportProxyFor(target)),
      no_proxy_(ReportNoProxy(target)) {
  // The curl tool's own User-Agent: the server sees the same request.
  user_agent_ = std::string("curl/") + curl_version_info(CURLVERSION_NOW)->version;
  curl_ = curl_easy_init();
  if (curl_ == nullptr) return;
  curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl_, CURLOPT_POST, 1L);
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, user_agent_.c_str());
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(kCurlConnectTimeout.count()));
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT, static_cast<long>(kCurlMaxTime.count()));
  curl_easy_setopt(curl_, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl_, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
  // Signals cannot reach a worker thread safely: time-outs without alarm().
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  // Both set even when empty: libcurl would otherwise read the proxy
  // variables at each post, while another worker may be changing the
  // environment.
  curl_easy_setopt(curl_, CURLOPT_PROXY, proxy_.c_str());
  curl_easy_setopt(curl_, CURLOPT_NOPROXY, no_proxy_.c_str());
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, TakeReply);
}

ReportSession::~ReportSession() {
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
}

PostResult ReportSession::Post(const char* body, const std::vector<std::string>& headers,
                               const std::string& token) {
  PostResult result;
  if (curl_ == nullptr) {
    result.start = Status::FromErrno(ENOMEM);
    return result;
  }
  curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
  for (const std::string& header : headers) {
    if (list != nullptr) list = curl_slist_append(list, header.c_str());
  }
  if (!token.empty() && list != nullptr) {
    // Built in one buffer sized up front: no intermediate copy is left.
    std::string authorization;
    authorization.reserve(token.size() + 32);
    authorization.append("Authorization: Bearer ").append(token);
    list = curl_slist_append(list, authorization.c_str());
    WipeString(authorization);
  }
  if (list == nullptr) {
    result.exit_status = CURLE_OUT_OF_MEMORY;
    return result;
  }
  if (!ca_file_.empty()) {
    // Looked at before each post, as the curl tool's transport does: a CA
    // that became a FIFO must fail this post at once, not block the sender.
    // libcurl keeps its own copy of the string.
    curl_easy_setopt(curl_, CURLOPT_CAINFO, UsableCaFile(ca_file_).c_str());
  }
  PieceReader reader(result.reply_line, sizeof result.reply_line);
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(body)));
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reader);
  const CURLcode code = curl_easy_perform(curl_);
  reader.Finish();
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &result.http_status);
  result.exit_status = static_cast<int>(code);
  curl_header* retry_after = nullptr;
  if (code == CURLE_OK &&
      curl_easy_header(curl_, "Retry-After", 0, CURLH_HEADER, -1, &retry_after) == CURLHE_OK) {
    result.retry_after = retry_after->value;
  }
  // The list must not outlive its use by the handle.
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, nullptr);
  FreeWiped(list);
  return result;
}
