#include "FirmwareSignature.h"


#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "S3Client.h"
#include "SmallFile.h"

namespace {

// base64 of 64 bytes: 86 characters, then "==" when padded.
constexpr std::size_t kBase64Unpadded = 86;
constexpr std::size_t kBase64Padded = 88;

// A signature object is one short line at most; its fetch is bounded like
// the version file's (a slow link's worth of set-up time).
constexpr S3Client::Limits kSignatureLimits{1024, std::chrono::seconds(30)};

bool IsBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

}  // namespace

bool DecodeSignatureObject(const std::string& object, std::string* signature) {
  signature->clear();
  if (object.size() == kSignatureSize) {
    *signature = object;
    return true;
  }
  std::string text = object;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.size() == kBase64Unpadded) text += "==";
  if (text.size() != kBase64Padded || text.compare(kBase64Unpadded, 2, "==") != 0) {
    return false;
  }
  // One line of the plain alphabet: EVP_DecodeBlock would skip white space
  // and take '=' anywhere, which a signature file has no business holding.
  for (std::size_t i = 0; i < kBase64Unpadded; ++i) {
    if (!IsBase64Character(text[i])) return false;
  }
  unsigned char decoded[kBase64Padded / 4 * 3];
  int length = EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()));
  // EVP_DecodeBlock counts the two padding characters as zero bytes.
  if (length != static_cast<int>(sizeof decoded)) return false;
  signature->assign(reinterpret_cast<const char*>(decoded), kSignatureSize);
  return true;
}

FirmwarePublicKey FirmwarePublicKey::FromFile(const std::string& path) {
  std::string pem;
  int error = ReadSmallFile(path.c_str(), kMaxKeyFileSize, pem);
  if (error != 0) {
    FirmwarePublicKey key;
    key.origin_ = path;
    key.error_ = error;
    return key;
  }
  return FromPem(pem, path);
}

FirmwarePublicKey FirmwarePublicKey::FromPem(const std::string& pem, const std::string& origin) {
  FirmwarePublicKey key;
  key.origin_ = origin;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* loaded = bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr)
                                    : nullptr;
  BIO_free(bio);
  // The reasons stay in the thread's error queue otherwise.
  ERR_clear_error();
  if (loaded == nullptr) {
    key.problem_ = "not a PEM public key";
    return key;
  }
  if (EVP_PKEY_get_id(loaded) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(loaded);
    key.problem_ = "not an Ed25519 key";
    return key;
  }
  key.key_.reset(loaded);
  return key;
}

std::string FirmwarePublicKey::Problem() const {
  if (usable()) return std::string();
  return error_ != 0 ? std::strerror(error_) : problem_;
}

std::string FirmwarePublicKey::ProblemLine() const {
  return "Error: Firmware public key - " + origin_ + ": " + Problem();
}

bool FirmwarePublicKey::Verifies(const std::string& signature, const std::string& data) const {
  if (!usable() || signature.size() != kSignatureSize) return false;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return false;
  // Ed25519 hashes the message itself: no digest is named.
  bool valid =
      EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key_.get()) == 1 &&
      EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
  EVP_MD_CTX_free(context);
  ERR_clear_error();
  return valid;
}

bool SignatureCoversImage(const FirmwarePublicKey& key, const std::string& signature_object,
                          const std::string& version, const ImageDigest& digest,
                          std::string* signature) {
  if (DecodeSignatureObject(signature_object, signature) &&
      key.Verifies(*signature, FirmwareStatementText(version, digest))) {
    return true;
  }
  signature->clear();
  return false;
}

Status FirmwareSignatureAccepted(const S3Client& client, const FirmwarePublicKey& key,
                               const std::string& bucket,
                               const std::string& image_key, const std::string& version,
                               const ImageDigest& digest, std::string* signature) {
  S3Client::Object object =
      client.GetObject(bucket, image_key + kImageSignatureSuffix, kSignatureLimits);
  if (!object.ok && !object.too_large) return Status::Error("Error: Firmware signature missing");
  // An object too large to be a signature is there, but is not one.
  if (object.too_large ||
      !SignatureCoversImage(key, object.body, version, digest, signature)) {
    return Status::Error("Error: Firmware signature not valid");
  }
  return Status::Ok();
}
