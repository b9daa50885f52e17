// Status: the outcome of a step that can fail. An ok Status carries nothing;
// a failed one carries the reason in the words an operator reads after
// " - " on an error line ("Permission denied", "HTTP 403", "not a regular
// file"). Functions return it (or a struct holding one) instead of 0/-1,
// a bool or errno on the side, so the reason travels with the failure and
// the caller that logs it writes the line once.
//
// A plain value type: copy it freely, from any thread.
#ifndef NETWORKPROXY_STATUS_H_
#define NETWORKPROXY_STATUS_H_

#include <cstring>
#include <string>
#include <utility>

class Status {
 public:
  Status() = default;  // ok

  static Status Ok() { return Status(); }
  static Status Error(std::string reason) { return Status(std::move(reason)); }
  // "<context>: <the system's text for error>", or the system's text alone
  // when `context` is empty.
  static Status FromErrno(int error, const std::string& context = std::string()) {
    const std::string text = std::strerror(error);
    return Status(context.empty() ? text : context + ": " + text);
  }

  bool ok() const { return !failed_; }
  // Empty when ok.
  const std::string& reason() const { return reason_; }

 private:
  explicit Status(std::string reason) : failed_(true), reason_(std::move(reason)) {}

  bool failed_ = false;
  std::string reason_;
};

#endif  // NETWORKPROXY_STATUS_H_
