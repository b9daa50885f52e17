#include "FirmwareImage.h"

#include "EventLog.h"
#include "ImageFile.h"
#include "SafeReason.h"

namespace {

Status DownloadFailure(const std::string& reason, const S3Credentials& credentials) {
  return Status::Error(FailureLine("Error: Downloading firmware file", reason,
                                   {credentials.secret_access_key, credentials.access_key_id,
                                    credentials.session_token}));
}

Status WriteFailure(const Status& failure) {
  return Status::Error(FailureLine("Error: Writing firmware file", failure.reason()));
}

// Downloads straight into the image's temporary file, so the image never
// has to fit in memory, and renames it over `image_path`; the digest is
// read back from the file.
Status StreamImage(const S3Client& client, const S3Credentials& credentials,
                   const std::string& bucket, const std::string& image_path,
                   const char* image_key, ImageDigest* digest) {
  ImageTempFile image_file(image_path);
  if (!image_file.status().ok()) return WriteFailure(image_file.status());
  S3Client::Object image = client.GetObjectToFile(bucket, image_key, image_file.fd(), kImageLimits);
  if (!image.ok) return DownloadFailure(image.error, credentials);
  LogLine("Downloading firmware file");
  FileDigest written = DigestOfFile(image_file.fd());
  if (!written.status.ok()) return WriteFailure(written.status);
  const Status committed = image_file.Commit();
  if (!committed.ok()) return WriteFailure(committed);
  *digest = written.digest;
  return Status::Ok();
}

// Downloads into memory (within the image bound), verifies the signature
// over the statement for `version` and exactly those bytes, and only then
// writes them and the verified signature beside them (for the update
// script to check again).
Status FetchSignedImage(const S3Client& client, const S3Credentials& credentials,
                        const std::string& bucket, const std::string& image_path,
                        const FirmwarePublicKey& key, const char* image_key, const char* version,
                        ImageDigest* digest) {
  S3Client::Object image = client.GetObject(bucket, image_key, kImageLimits);
  if (!image.ok) return DownloadFailure(image.error, credentials);
  LogLine("Downloading firmware file");
  const ImageDigest downloaded = DigestOf(image.body);
  std::string signature;
  const Status verified =
      FirmwareSignatureAccepted(client, key, bucket, image_key, version, downloaded, &signature);
  if (!verified.ok()) return verified;
  Status written = WriteFileAtomically(image_path, image.body, Durability::kSynced);
  if (written.ok()) {
    written = WriteFileAtomically(image_path + kImageSignatureSuffix, signature,
                                  Durability::kSynced);
  }
  if (!written.ok()) return WriteFailure(written);
  *digest = downloaded;
  return Status::Ok();
}

}  // namespace

Status FetchImage(const S3Client& client, const S3Credentials& credentials,
                  const std::string& bucket, const std::string& image_path,
                  const FirmwarePublicKey* key, const char* image_key, const char* version,
                  ImageDigest* digest) {
  if (key == nullptr) return StreamImage(client, credentials, bucket, image_path, image_key, digest);
  return FetchSignedImage(client, credentials, bucket, image_path, *key, image_key, version,
                          digest);
}
