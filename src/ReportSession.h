// ReportSession: the sender's own HTTP(S) session with the reporting server,
// in process (libcurl), living across events: the connection is kept alive
// and its TLS session reused, so an event costs one round trip instead of a
// new process, a TCP and a TLS handshake. A connection the server or the
// network dropped is noticed by libcurl and opened again on the next post.
//
// The request is the curl tool's (ReportExchange.h PostEvent): POST to the
// report URL, "Content-Type: application/json", the event object as the
// body, the caller's extra headers, the same User-Agent, connect and total
// time-outs (kCurlConnectTimeout, kCurlMaxTime), NETWORKPROXY_REPORT_CA, the
// proxy variables as found at start-up, http and https only, no redirect
// followed, and no curlrc or netrc read. TCP_NODELAY is on: a request is
// sent whole at once, never held back for an acknowledgement.
//
// Threads: one thread posts at a time (the sender worker); create it after
// curl_global_init. It owns its libcurl handle; no other state is shared.
#ifndef NETWORKPROXY_REPORTSESSION_H_
#define NETWORKPROXY_REPORTSESSION_H_

#include <string>
#include <vector>

#include "ReportAccess.h"
#include "ReportAnswer.h"

typedef void CURL;

class ReportSession : public ReportTransport {
 public:
  // Posts go to `target`'s URL, through its proxy and with its CA.
  explicit ReportSession(const ReportTarget& target);
  ~ReportSession() override;

  ReportSession(const ReportSession&) = delete;
  ReportSession& operator=(const ReportSession&) = delete;

  // Posts `body` (NUL-terminated) with `headers` ("Name: value") and, when
  // `token` is not empty, "Authorization: Bearer <token>"; every copy of the
  // token made here is wiped before returning. Waits for the answer or the
  // time-out.
  PostResult Post(const char* body, const std::vector<std::string>& headers,
                  const std::string& token) override;

 private:
  CURL* curl_ = nullptr;
  const std::string url_;
  // NETWORKPROXY_REPORT_CA, looked at before each post.
  const std::string ca_file_;
  std::string proxy_;
  std::string no_proxy_;
  std::string user_agent_;
};

#endif  // NETWORKPROXY_REPORTSESSION_H_
