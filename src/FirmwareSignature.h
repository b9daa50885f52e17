// FirmwareSignature: proof that a firmware image comes from the people who
// hold the site's signing key, not merely from someone who can write to the
// bucket.
//
// A site turns it on with NETWORKPROXY_FIRMWARE_PUBLIC_KEY=<file>, an Ed25519
// public key in PEM. The signature of "Version_<v>.hex" is the object
// "Version_<v>.hex.sig": the 64-byte Ed25519 signature over the firmware
// statement for <v> and the image (FirmwareStatement.h), stored raw or as
// one line of base64. A signature over the image's bytes alone does not
// verify: it would let an old image pass as any version. Verification is
// libcrypto's (EVP_DigestVerify); nothing here does arithmetic of its own.
//
// Threads: the key is loaded on the main thread before the workers start
// and only read afterwards; the rest runs on the update worker (tests call
// the pure pieces from anywhere).
#ifndef NETWORKPROXY_FIRMWARESIGNATURE_H_
#define NETWORKPROXY_FIRMWARESIGNATURE_H_

#include <cstddef>
#include <memory>
#include <string>

#include <openssl/evp.h>

#include "FirmwareStatement.h"
#include "Status.h"

class S3Client;

// Length of an Ed25519 signature in bytes.
constexpr std::size_t kSignatureSize = 64;

// The signature's name beside its image: the object "<image key>.sig" in
// the bucket, and the file "<image file>.sig" the daemon writes for the
// update script.
constexpr const char* kImageSignatureSuffix = ".sig";

// A PEM public key is a few hundred bytes; anything far larger is the
// wrong file, and reading it whole would only cost memory.
constexpr std::size_t kMaxKeyFileSize = 16 * 1024;

// Name of the setting (an environment variable read at start-up).
constexpr const char* kFirmwarePublicKeyVariable = "NETWORKPROXY_FIRMWARE_PUBLIC_KEY";

// Turns the bytes of a ".sig" object into the 64-byte signature: either the
// raw 64 bytes, or base64 of 64 bytes on one line (padding optional; one
// trailing LF or CR LF allowed). Returns false for anything else, leaving
// `signature` empty.
bool DecodeSignatureObject(const std::string& object, std::string* signature);

// An Ed25519 public key read from a PEM file, or the reason it could not be.
class FirmwarePublicKey {
 public:
  // Reads `path`. Never fails outright: check usable() and LogProblem().
  static FirmwarePublicKey FromFile(const std::string& path);
  // Reads PEM text already in memory (`origin` names it in the problem).
  static FirmwarePublicKey FromPem(const std::string& pem, const std::string& origin);

  bool usable() const { return key_ != nullptr; }

  // Why the key is not usable ("No such file or directory", "not an Ed25519
  // key"); empty when usable().
  std::string Problem() const;

  // "Error: Firmware public key - <file>: <reason>", for the caller to log.
  // Only when !usable().
  std::string ProblemLine() const;

  // True only when `signature` (64 bytes) is this key's Ed25519 signature
  // over exactly `data`. Always false when !usable().
  bool Verifies(const std::string& signature, const std::string& data) const;

 private:
  struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };

  std::unique_ptr<EVP_PKEY, KeyFree> key_;
  std::string origin_;  // the file's path, for the log
  int error_ = 0;       // errno of a failed read; 0 when the content was wrong
  std::string problem_; // what was wrong with the content
};

// The verify step the daemon and networkproxyctl share: true only when
// `signature_object` (the bytes of a ".sig" file) decodes to a signature by
// `key` over the statement for `version` and `digest`. `signature` then
// receives the 64 raw bytes; otherwise it is left empty.
bool SignatureCoversImage(const FirmwarePublicKey& key, const std::string& signature_object,
                          const std::string& version, const ImageDigest& digest,
                          std::string* signature);

// The check's last step before the image is written, for a site with `key`:
// fetches "<image_key>.sig" from `bucket` with `client` and verifies it over
// the statement for `version` and `digest` (of the exact bytes to be
// written); `signature` receives the verified raw signature. Fails with the
// line "Error: Firmware signature missing" when the object cannot be had and
// "Error: Firmware signature not valid" when it cannot be decoded or does
// not verify.
Status FirmwareSignatureAccepted(const S3Client& client, const FirmwarePublicKey& key,
                               const std::string& bucket,
                               const std::string& image_key, const std::string& version,
                               const ImageDigest& digest, std::string* signature);

#endif  // NETWORKPROXY_FIRMWARESIGNATURE_H_
