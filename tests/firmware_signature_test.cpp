// Decoding of signature objects and Ed25519 verification of firmware images.
// Keys and signatures are made here with libcrypto, so each test knows
// exactly which key signed which bytes.
#include "FirmwareSignature.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "FirmwareStatement.h"
#include "log_reader.h"
#include "temp_cwd.h"

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

KeyPtr NewKey(const char* type) {
  return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, type));
}

std::string Sign(EVP_PKEY* key, const std::string& data) {
  unsigned char signature[kSignatureSize];
  std::size_t length = sizeof signature;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
            EVP_DigestSign(context, signature, &length,
                           reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  EVP_MD_CTX_free(context);
  return ok ? std::string(reinterpret_cast<char*>(signature), length) : std::string();
}

std::string PublicPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, key);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

std::string PrivatePem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

std::string Base64(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                               reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// An image with NULs, CR LF and high bytes, like a real one may carry.
const std::string kImage = std::string(":10000000\r\n\0\xff", 13) + std::string(3000, 'x');

class SignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signer_ = NewKey("ED25519");
    ASSERT_NE(signer_, nullptr);
    key_ = std::make_unique<FirmwarePublicKey>(
        FirmwarePublicKey::FromPem(PublicPem(signer_.get()), "site.pem"));
    ASSERT_TRUE(key_->usable());
  }

  // Decodes `object` and verifies it over `image` with the site's key.
  bool Accepts(const std::string& object, const std::string& image) {
    std::string signature;
    return DecodeSignatureObject(object, &signature) && key_->Verifies(signature, image);
  }

  KeyPtr signer_;
  std::unique_ptr<FirmwarePublicKey> key_;
};

TEST_F(SignatureTest, GenuineSignatureIsAcceptedRawOrAsBase64Line) {
  const std::string raw = Sign(signer_.get(), kImage);
  ASSERT_EQ(raw.size(), kSignatureSize);
  EXPECT_TRUE(Accepts(raw, kImage));
  const std::string text = Base64(raw);
  EXPECT_TRUE(Accepts(text, kImage));
  EXPECT_TRUE(Accepts(text + "\n", kImage));
  EXPECT_TRUE(Accepts(text + "\r\n", kImage));
  EXPECT_TRUE(Accepts(text.substr(0, text.size() - 2) + "\n", kImage)) << "unpadded";
}

TEST_F(SignatureTest, RawSignatureEndingInNewlineBytesIsNotMistakenForText) {
  // Sign until the raw signature happens to end in LF: 64 bytes are raw
  // whatever their last byte is.
  for (int i = 0; i < 2000; ++i) {
    const std::string image = kImage + std::to_string(i);
    const std::string raw = Sign(signer_.get(), image);
    if (raw.back() != '\n') continue;
    EXPECT_TRUE(Accepts(raw, image));
    return;
  }
  GTEST_SKIP() << "no signature ending in LF came up";
}

TEST_F(SignatureTest, ImageChangedByOneByteIsRefused) {
  const std::string raw = Sign(signer_.get(), kImage);
  std::string tampered = kImage;
  tampered[tampered.size() / 2] ^= 0x01;
  EXPECT_FALSE(Accepts(raw, tampered));
  EXPECT_FALSE(Accepts(raw, kImage + "\n")) << "one byte added";
  EXPECT_FALSE(Accepts(raw, kImage.substr(0, kImage.size() - 1))) << "one byte cut";
}

TEST_F(SignatureTest, SignatureOfAnotherImageIsRefused) {
  EXPECT_FALSE(Accepts(Sign(signer_.get(), "another image"), kImage));
  EXPECT_FALSE(Accepts(Sign(signer_.get(), ""), kImage));
}

TEST_F(SignatureTest, SignatureByAnotherKeyIsRefused) {
  KeyPtr stranger = NewKey("ED25519");
  ASSERT_NE(stranger, nullptr);
  EXPECT_FALSE(Accepts(Sign(stranger.get(), kImage), kImage));
  EXPECT_FALSE(Accepts(Base64(Sign(stranger.get(), kImage)), kImage));
}

TEST_F(SignatureTest, TruncatedOrPaddedSignatureIsNotDecoded) {
  const std::string raw = Sign(signer_.get(), kImage);
  std::string out = "left over";
  EXPECT_FALSE(DecodeSignatureObject(raw.substr(0, 63), &out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(DecodeSignatureObject(raw + "\n", &out));
  EXPECT_FALSE(DecodeSignatureObject("", &out));
  EXPECT_FALSE(key_->Verifies(raw.substr(0, 63), kImage));
}

TEST_F(SignatureTest, Base64OfWrongLengthOrShapeIsNotDecoded) {
  const std::string raw = Sign(signer_.get(), kImage);
  const std::string text = Base64(raw);
  std::string out;
  EXPECT_FALSE(DecodeSignatureObject(Base64(raw.substr(0, 63)), &out)) << "63 bytes";
  EXPECT_FALSE(DecodeSignatureObject(Base64(raw + "x"), &out)) << "65 bytes";
  EXPECT_FALSE(DecodeSignatureObject(text.substr(0, 40) + "\n" + text.substr(40), &out))
      << "two lines";
  EXPECT_FALSE(DecodeSignatureObject(text + "\n\n", &out)) << "blank line after";
  EXPECT_FALSE(DecodeSignatureObject(" " + text.substr(1), &out)) << "space inside";
  EXPECT_FALSE(DecodeSignatureObject("=" + text.substr(1), &out)) << "padding inside";
  std::string url_safe = text;
  url_safe[0] = '-';
  EXPECT_FALSE(DecodeSignatureObject(url_safe, &out)) << "other alphabet";
  EXPECT_FALSE(DecodeSignatureObject(text.substr(0, 86) + "A=", &out)) << "wrong padding";
}

class PublicKeyFileTest : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
  }
  TempWorkingDir dir_{"np-sigkey"};
};

TEST_F(PublicKeyFileTest, PemFileFromDiskVerifies) {
  KeyPtr signer = NewKey("ED25519");
  Write("site.pem", PublicPem(signer.get()));
  FirmwarePublicKey key = FirmwarePublicKey::FromFile("site.pem");
  ASSERT_TRUE(key.usable());
  EXPECT_TRUE(key.Verifies(Sign(signer.get(), kImage), kImage));
}

TEST_F(PublicKeyFileTest, UnusableKeyFileIsReportedWithItsReason) {
  KeyPtr other = NewKey("X25519");  // the look-alike exchange key
  ASSERT_NE(other, nullptr);
  KeyPtr ed = NewKey("ED25519");
  const std::string private_pem = PrivatePem(ed.get());
  Write("x25519.pem", PublicPem(other.get()));
  Write("private.pem", private_pem);
  Write("words.pem", "this is not a key\n");
  Write("big.pem", std::string(64 * 1024, 'A'));
  std::filesystem::create_directory("folder.pem");

  const struct {
    const char* file;
    const char* line;
  } cases[] = {
      {"missing.pem", "Error: Firmware public key - missing.pem: No such file or directory"},
      {"folder.pem", "Error: Firmware public key - folder.pem: Is a directory"},
      {"big.pem", "Error: Firmware public key - big.pem: File too large"},
      {"words.pem", "Error: Firmware public key - words.pem: not a PEM public key"},
      {"private.pem", "Error: Firmware public key - private.pem: not a PEM public key"},
      {"x25519.pem", "Error: Firmware public key - x25519.pem: not an Ed25519 key"},
  };
  for (const auto& c : cases) {
    FirmwarePublicKey key = FirmwarePublicKey::FromFile(c.file);
    EXPECT_FALSE(key.usable()) << c.file;
    EXPECT_FALSE(key.Verifies(Sign(ed.get(), kImage), kImage)) << c.file;
    EXPECT_EQ(key.ProblemLine(), c.line);
    // A private key handed over by mistake must not end up in the log.
    const std::string body = private_pem.substr(private_pem.find('\n') + 1, 20);
    EXPECT_EQ(key.ProblemLine().find(body), std::string::npos);
  }
}

}  // namespace

namespace {

// The signed statement: what may be handed off is decided here, so each way
// an attacker without the key could reuse a genuine signature is a case.
TEST_F(SignatureTest, OnlyTheStatementForThisVersionAndImageVerifies) {
  const std::string old_image = kImage.substr(0, 1000);
  const ImageDigest digest = DigestOf(kImage);
  const ImageDigest old_digest = DigestOf(old_image);
  const std::string genuine = Sign(signer_.get(), FirmwareStatementText("1.0.9", digest));
  ImageDigest other_size = digest;
  other_size.size += 1;
  ImageDigest other_hash = digest;
  other_hash.sha256[0] = other_hash.sha256[0] == '0' ? '1' : '0';
  ASSERT_EQ(FirmwareStatementText("1.0.9", digest),
            "networkproxy-firmware-v1\nversion 1.0.9\nsize 3013\nsha256 " + digest.sha256 + "\n");

  const struct {
    const char* name;
    std::string object;
    ImageDigest image;
    bool valid;
  } cases[] = {
      {"genuine, raw", genuine, digest, true},
      {"genuine, base64 line", Base64(genuine) + "\n", digest, true},
      {"old image relabelled as 1.0.9",
       Sign(signer_.get(), FirmwareStatementText("1.0.3", old_digest)), old_digest, false},
      {"statement for another size", Sign(signer_.get(), FirmwareStatementText("1.0.9", other_size)),
       digest, false},
      {"statement for another hash", Sign(signer_.get(), FirmwareStatementText("1.0.9", other_hash)),
       digest, false},
      {"image-only signature", Sign(signer_.get(), kImage), digest, false},
      {"statement without its final LF",
       Sign(signer_.get(), FirmwareStatementText("1.0.9", digest).substr(
                               0, FirmwareStatementText("1.0.9", digest).size() - 1)),
       digest, false},
  };
  for (const auto& c : cases) {
    std::string signature = "left over";
    EXPECT_EQ(SignatureCoversImage(*key_, c.object, "1.0.9", c.image, &signature), c.valid)
        << c.name;
    EXPECT_EQ(signature.size(), c.valid ? kSignatureSize : 0u) << c.name;
  }
}

TEST(FirmwareStatementTest, FileDigestMatchesTheBytesAndLeavesTheOffset) {
  TempWorkingDir dir{"np-digest"};
  std::ofstream("image.hex", std::ios::binary) << kImage;
  const int fd = open("image.hex", O_RDONLY);
  ASSERT_GE(fd, 0);
  const FileDigest file = DigestOfFile(fd);
  EXPECT_TRUE(file.status.ok());
  EXPECT_EQ(file.digest.size, kImage.size());
  EXPECT_EQ(file.digest.sha256, DigestOf(kImage).sha256);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  close(fd);
  EXPECT_EQ(DigestOf("").sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
