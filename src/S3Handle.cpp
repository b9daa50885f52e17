// S3Handle: see S3Handle.h for the contract.
#include "S3Handle.h"

#include <curl/curl.h>

#include <utility>

S3Handle::S3Handle(Reuse reuse, std::string ca_file)
    : reuse_(reuse), ca_file_(std::move(ca_file)) {}

S3Handle::~S3Handle() {
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
}

CURL* S3Handle::Next() {
  if (curl_ != nullptr && reuse_ == Reuse::kFreshPerRequest) {
    curl_easy_cleanup(curl_);
    curl_ = nullptr;
  }
  if (curl_ == nullptr) {
    curl_ = curl_easy_init();
  } else {
    // Options only: live connections and the TLS session cache stay.
    curl_easy_reset(curl_);
  }
  if (curl_ != nullptr && !ca_file_.empty() &&
      curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_file_.c_str()) != CURLE_OK) {
    return nullptr;
  }
  return curl_;
}
