// SafeReason: making a failure's reason fit for the log. Reasons come from
// libcurl's error text and from what a server sent back, so they may carry a
// URL with a query, an Authorization header's signature or the very key the
// request was signed with; none of that may reach a log file.
//
// Threads: any thread may call these at any time.
#ifndef NETWORKPROXY_SAFEREASON_H_
#define NETWORKPROXY_SAFEREASON_H_

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Longest reason kept, in bytes; the rest is cut.
constexpr std::size_t kMaxReasonLength = 200;

// `reason` with every occurrence of each of `secrets` (empty and blank ones
// are skipped), every URL query and every "Signature=<value>" replaced by
// "[redacted]", control characters turned into spaces (so the reason stays on
// one log line), cut to kMaxReasonLength.
std::string SafeReason(const std::string& reason, const std::vector<std::string_view>& secrets);

// "<line> - <reason>" (just `line` when the reason is empty), the reason
// made safe against `secrets` (the credentials in use; viewed, not copied)
// and the compiled-in key pair, for the caller to log. The credential
// variables of the environment are not read: the daemon only ever uses the
// pair it was given, which the caller passes, and the hand-off gives the
// script that same pair.
std::string FailureLine(const char* line, const std::string& reason,
                        std::initializer_list<std::string_view> secrets = {});

#endif  // NETWORKPROXY_SAFEREASON_H_
