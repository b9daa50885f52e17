#include "Credentials.h"


#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "SettingsFiles.h"
#include "SmallFile.h"

const char* const kAccessKeyId = NETWORKPROXY_AWS_ACCESS_KEY_ID;
const char* const kSecretAccessKey = NETWORKPROXY_AWS_SECRET_ACCESS_KEY;

namespace {

// A credentials file holds a few short lines; anything bigger is not one.
constexpr std::size_t kMaxCredentialsFileSize = 64 * 1024;

constexpr const char* kDefaultProfile = "default";

std::string_view Trim(std::string_view text) {
  const char* const kSpace = " \t\r\f\v";
  std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return std::string_view();
  std::size_t last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

// Finds the profile's keys in the INI text. Later lines win over earlier
// ones, also across repeated sections of the same name.
CredentialsLookup ParseProfile(std::string_view text, const std::string& profile,
                               const char* path, S3Credentials& out) {
  CredentialsLookup result;
  bool in_profile = false;
  bool profile_seen = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      in_profile = close != std::string_view::npos &&
                   Trim(line.substr(1, close - 1)) == std::string_view(profile);
      profile_seen = profile_seen || in_profile;
      continue;
    }
    if (!in_profile) continue;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, equals));
    std::string_view value = Trim(line.substr(equals + 1));
    if (key == "aws_access_key_id") {
      out.access_key_id.assign(value);
    } else if (key == "aws_secret_access_key") {
      out.secret_access_key.assign(value);
    } else if (key == "aws_session_token") {
      out.session_token.assign(value);
    }
  }
  const std::string where = std::string(" in ") + path;
  if (!profile_seen) {
    result.error = "no profile [" + profile + "]" + where;
  } else if (out.access_key_id.empty()) {
    result.error = "profile [" + profile + "] has no aws_access_key_id" + where;
  } else if (out.secret_access_key.empty()) {
    result.error = "profile [" + profile + "] has no aws_secret_access_key" + where;
  } else {
    result.source = CredentialsSource::kFile;
    return result;
  }
  out.Clear();
  return result;
}

}  // namespace

void WipeString(std::string& text) {
  // Resizing up to the capacity never reallocates, and makes every byte the
  // buffer holds, also those past the old length, ours to overwrite.
  text.resize(text.capacity());
  if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
  text.clear();
}

S3Credentials::S3Credentials(std::string key_id, std::string secret, std::string token)
    : access_key_id(std::move(key_id)),
      secret_access_key(std::move(secret)),
      session_token(std::move(token)) {}

S3Credentials& S3Credentials::operator=(const S3Credentials& other) {
  if (this != &other) {
    Clear();
    access_key_id = other.access_key_id;
    secret_access_key = other.secret_access_key;
    session_token = other.session_token;
  }
  return *this;
}

S3Credentials::~S3Credentials() { Clear(); }

void S3Credentials::Clear() {
  WipeString(access_key_id);
  WipeString(secret_access_key);
  WipeString(session_token);
}

CredentialsLookup LookUpCredentials(const char* path, const char* profile, S3Credentials& out) {
  out.Clear();
  CredentialsLookup result;
  std::string content;
  bool readable_by_others = false;
  int error = (path != nullptr && *path != '\0')
                  ? ReadSmallFile(path, kMaxCredentialsFileSize, content, &readable_by_others)
                  : ENOENT;
  if (error == ENOENT || error == ENOTDIR) {
    // Not configured on this site: the pair the binary was built with.
    out.access_key_id = kAccessKeyId;
    out.secret_access_key = kSecretAccessKey;
    result.source = CredentialsSource::kCompiledIn;
    return result;
  }
  if (error == kNotRegularFile) {
    result.error = "AWS_SHARED_CREDENTIALS_FILE - not a regular file";
    return result;
  }
  if (error != 0) {
    result.error = std::string("cannot read ") + path;
    result.system_error = error;
    return result;
  }
  const std::string name = (profile != nullptr && *profile != '\0') ? profile : kDefaultProfile;
  result = ParseProfile(content, name, path, out);
  result.readable_by_others = readable_by_others;
  WipeString(content);
  return result;
}

CredentialsLookup LookUpSiteCredentials(const std::string& path, const std::string& profile,
                                        S3Credentials& out) {
  CredentialsLookup lookup = LookUpCredentials(path.c_str(), profile.c_str(), out);
  if (lookup.readable_by_others) NoteReadableByOthers(path.c_str());
  return lookup;
}
