// Arbitrary bytes as a firmware image's ".sig" object: DecodeSignatureObject
// and the verification of what it decodes.
//
// Input: the object's bytes.
//
// Oracle: decoding succeeds exactly for 64 raw bytes (handed back as they
// are) or one line of base64 that stands for 64 bytes (handed back so that
// encoding them again gives the same line, up to the unused low bits of its
// last character); a failure hands back nothing. Whatever was decoded is
// checked against the object itself with a fixed key and never verifies.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FirmwareSignature.h"
#include "fuzz_support.h"

namespace {

const FirmwarePublicKey* g_key = nullptr;

// A key made once per run; its private half is thrown away, so no input
// can carry a signature that verifies.
const FirmwarePublicKey* MakeKey() {
  EVP_PKEY* pair = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  FUZZ_CHECK(pair != nullptr);
  unsigned char raw[32];
  std::size_t length = sizeof raw;
  FUZZ_CHECK(EVP_PKEY_get_raw_public_key(pair, raw, &length) == 1);
  EVP_PKEY_free(pair);
  EVP_PKEY* public_only =
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, length);
  FUZZ_CHECK(public_only != nullptr);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, public_only);
  EVP_PKEY_free(public_only);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  auto* key = new FirmwarePublicKey(FirmwarePublicKey::FromPem(pem, "fuzz"));
  FUZZ_CHECK(key->usable());
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  WorkInScratchDirectoryWithoutLog(argc, argv);
  g_key = MakeKey();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string object(reinterpret_cast<const char*>(data), size);
  std::string signature = "left over";
  const bool decoded = DecodeSignatureObject(object, &signature);
  if (!decoded) {
    FUZZ_CHECK(signature.empty());
    return 0;
  }
  FUZZ_CHECK(signature.size() == kSignatureSize);
  if (size == kSignatureSize) {
    FUZZ_CHECK(signature == object);
  } else {
    std::string line = object;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    FUZZ_CHECK(line.size() == 86 || line.size() == 88);
    unsigned char again[89];
    FUZZ_CHECK(EVP_EncodeBlock(again, reinterpret_cast<const unsigned char*>(signature.data()),
                               static_cast<int>(signature.size())) == 88);
    FUZZ_CHECK(line.compare(0, 85, reinterpret_cast<const char*>(again), 85) == 0);
  }
  FUZZ_CHECK(!g_key->Verifies(signature, object));
  return 0;
}
