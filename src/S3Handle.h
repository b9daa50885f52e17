// S3Handle: the one libcurl easy handle the firmware check's requests go
// through, kept from one check to the next so that a connection the server
// keeps open is used again and, when it was closed, the TLS session is
// resumed instead of a full handshake (the handle's connection and session
// caches outlive curl_easy_reset, which clears every option between
// requests). Each request sets all its options again, so a kept handle
// changes nothing but the connection it may use: the same time-outs, the
// same answers to every fault. A connection libcurl finds dead on reuse is
// replaced by a new one within the same request.
//
// Threads: one thread at a time (the daemon's update worker is the only one
// that makes firmware requests); the handle is not locked.
#ifndef NETWORKPROXY_S3HANDLE_H_
#define NETWORKPROXY_S3HANDLE_H_

#include <string>

typedef void CURL;

class S3Handle {
 public:
  // kKeep: one handle for every request (the daemon). kFreshPerRequest: a
  // new handle, connection and TLS handshake per request, as the check once
  // worked (kept for the benchmark's comparison).
  enum class Reuse { kKeep, kFreshPerRequest };

  // `ca_file`: a CA bundle to trust instead of the system's store, for the
  // benchmark's and tests' HTTPS stand-ins only; the daemon leaves it empty.
  explicit S3Handle(Reuse reuse = Reuse::kKeep, std::string ca_file = std::string());
  ~S3Handle();
  S3Handle(const S3Handle&) = delete;
  S3Handle& operator=(const S3Handle&) = delete;

  // The handle for the next request with every option at its default (and
  // the CA bundle set, when one was given); null when libcurl could not
  // make one. Owned by this object, valid until the next call.
  CURL* Next();

 private:
  Reuse reuse_;
  std::string ca_file_;
  CURL* curl_ = nullptr;
};

#endif  // NETWORKPROXY_S3HANDLE_H_
