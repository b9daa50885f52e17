// ImageFile: a new firmware image (or the hand-off record that goes with it)
// is written beside its final path under a temporary name and renamed over
// that path only when it is whole and on disk, so the path never holds a
// partial file.
//
// Threads: the update worker (tests: any one thread per object).
#ifndef NETWORKPROXY_IMAGEFILE_H_
#define NETWORKPROXY_IMAGEFILE_H_

#include <string>

class ImageTempFile {
 public:
  // Creates an empty temporary file (mode 0644, close-on-exec) in the folder
  // of `target`. ok() tells whether that worked.
  explicit ImageTempFile(std::string target);
  // Removes the temporary file unless Commit() succeeded.
  ~ImageTempFile();
  ImageTempFile(const ImageTempFile&) = delete;
  ImageTempFile& operator=(const ImageTempFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The temporary file's descriptor, for the caller to fill; -1 when !ok().
  // Owned by this object.
  int fd() const { return fd_; }

  // Syncs and closes the file, renames it over the target and syncs the
  // folder. False (and the temporary file removed) when a step failed.
  bool Commit();

 private:
  std::string target_;
  std::string directory_;
  std::string temp_path_;
  int fd_ = -1;
};

#endif  // NETWORKPROXY_IMAGEFILE_H_
