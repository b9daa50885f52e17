#include "FirmwareImage.h"

#include <memory>

#include "EventLog.h"
#include "ImageDownload.h"
#include "ImageFile.h"
#include "SafeReason.h"
#include "WriteAll.h"

namespace {

Status DownloadFailure(const std::string& reason, const S3Credentials& credentials) {
  return Status::Error(FailureLine("Error: Downloading firmware file", reason,
                                   {credentials.secret_access_key, credentials.access_key_id,
                                    credentials.session_token}));
}

Status WriteFailure(const Status& failure) {
  return Status::Error(FailureLine("Error: Writing firmware file", failure.reason()));
}

// Writes the downloaded `image` into `image_file` and renames it over the
// image path.
Status WriteImage(ImageTempFile& image_file, const std::string& image, ImageDigest* digest) {
  Status written = WriteAll(image_file.fd(), image.data(), image.size());
  if (written.ok()) written = image_file.Commit();
  if (!written.ok()) return WriteFailure(written);
  *digest = DigestOf(image);
  return Status::Ok();
}

// Verifies the signature over the statement for `version` and exactly the
// downloaded bytes, and only then writes them and the verified signature
// beside them (for the update script to check again).
Status WriteSignedImage(const S3Client& client, const std::string& bucket,
                        const std::string& image_path, const FirmwarePublicKey& key,
                        const char* image_key, const char* version, const std::string& image,
                        ImageDigest* digest) {
  const ImageDigest downloaded = DigestOf(image);
  std::string signature;
  const Status verified =
      FirmwareSignatureAccepted(client, key, bucket, image_key, version, downloaded, &signature);
  if (!verified.ok()) return verified;
  Status written = WriteFileAtomically(image_path, image, Durability::kSynced);
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
  // Without a key the image's file is made first, as it always was: a
  // folder it cannot be written to fails the check before any download.
  std::unique_ptr<ImageTempFile> image_file;
  if (key == nullptr) {
    image_file.reset(new ImageTempFile(image_path));
    if (!image_file->status().ok()) return WriteFailure(image_file->status());
  }
  std::string image;
  const Status downloaded =
      DownloadImage(client, bucket, image_path, image_key, version, &image);
  if (!downloaded.ok()) return DownloadFailure(downloaded.reason(), credentials);
  LogLine("Downloading firmware file");
  if (image_file) return WriteImage(*image_file, image, digest);
  return WriteSignedImage(client, bucket, image_path, *key, image_key, version, image, digest);
}
