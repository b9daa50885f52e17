// Credentials: the key pair the firmware check signs its S3 requests with,
// and where it comes from.
//
// The pair is looked up afresh at every check, so a rotated key takes effect
// without a restart: from the shared credentials file named by
// AWS_SHARED_CREDENTIALS_FILE (profile AWS_PROFILE, else "default") when that
// file exists, else the compiled-in pair. A file that exists but cannot be
// used is an error, not a reason to fall back: the compiled-in pair would
// hide the site's mistake.
//
// Any thread may call these functions; the update worker is the only one
// that does.
#ifndef NETWORKPROXY_CREDENTIALS_H_
#define NETWORKPROXY_CREDENTIALS_H_

#include <string>

// One set of S3 credentials. The destructor and Clear() overwrite the texts
// before their memory is given back, so a secret does not outlive the check
// that used it in freed heap memory or a core dump.
struct S3Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // empty when the credentials have none

  S3Credentials() = default;
  S3Credentials(std::string key_id, std::string secret, std::string token = std::string());
  S3Credentials(const S3Credentials& other) = default;
  S3Credentials(S3Credentials&& other) = default;
  S3Credentials& operator=(const S3Credentials& other);
  ~S3Credentials();

  void Clear();
};

// The compiled-in key pair, set at build time and defined in one source
// file only: the fallback when the site has no credentials file.
extern const char* const kAccessKeyId;
extern const char* const kSecretAccessKey;

// Overwrites every byte `text` holds (its whole capacity) and empties it.
void WipeString(std::string& text);

enum class CredentialsSource {
  kFile,        // read from the credentials file
  kCompiledIn,  // no file configured or present: the compiled-in pair
  kError,       // the file exists but cannot be used; `error` says why
};

struct CredentialsLookup {
  CredentialsSource source = CredentialsSource::kError;
  std::string error;      // reason for kError, without any secret in it
  int system_error = 0;   // errno value behind `error`, when there is one
  bool readable_by_others = false;  // the file is open to every local user
};

// Fills `out` from profile `profile` of the INI file at `path` (nullptr or
// "": not configured), falling back to the compiled-in pair when the file is
// not configured or does not exist. The file's keys are aws_access_key_id,
// aws_secret_access_key and, optionally, aws_session_token. A FIFO or a
// device in its place is refused ("AWS_SHARED_CREDENTIALS_FILE - not a
// regular file") without waiting on it.
CredentialsLookup LookUpCredentials(const char* path, const char* profile, S3Credentials& out);

// LookUpCredentials with the path and profile of the site's settings as read
// at start-up (AWS_SHARED_CREDENTIALS_FILE, AWS_PROFILE or "default"), for
// the daemon: a file other users can read is logged once (SettingsFiles.h).
CredentialsLookup LookUpSiteCredentials(const std::string& path, const std::string& profile,
                                        S3Credentials& out);

#endif  // NETWORKPROXY_CREDENTIALS_H_
