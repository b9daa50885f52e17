// ImageFile: the one way the daemon replaces a file whole (an image, the
// hand-off record, the metrics file): written beside its final path under a
// temporary name and renamed over that path only when it is whole, so the
// path never holds a partial file. Files that must survive a reboot (the
// image and the hand-off record, which a flash may follow) are synced, and
// their folder after the rename; the metrics file, rewritten after every
// event, is not.
//
// Threads: any thread; one thread per ImageTempFile.
#ifndef NETWORKPROXY_IMAGEFILE_H_
#define NETWORKPROXY_IMAGEFILE_H_

#include <string>

#include "Status.h"

// Whether a replaced file is synced to disk before it counts as written.
enum class Durability { kSynced, kUnsynced };

class ImageTempFile {
 public:
  // Creates an empty temporary file (mode 0640, close-on-exec) in the folder
  // of `target`, named by `temp_pattern` (mkostemp's, ending in XXXXXX;
  // empty: ".networkproxy-image.XXXXXX" in that folder); status() tells
  // whether that worked.
  explicit ImageTempFile(std::string target, const std::string& temp_pattern = std::string());
  // Removes the temporary file unless Commit() succeeded.
  ~ImageTempFile();
  ImageTempFile(const ImageTempFile&) = delete;
  ImageTempFile& operator=(const ImageTempFile&) = delete;

  const Status& status() const { return created_; }
  // The temporary file's descriptor, for the caller to fill; -1 when
  // creating it failed. Owned by this object.
  int fd() const { return fd_; }

  // Closes the file (synced first when kSynced), renames it over the target
  // and, when kSynced, syncs the folder. A failed step is returned with the
  // system's text, and the temporary file removed.
  Status Commit(Durability durability = Durability::kSynced);

 private:
  std::string target_;
  std::string directory_;
  std::string temp_path_;
  int fd_ = -1;
  Status created_;
};

// Replaces `target` with `text` through an ImageTempFile: a synced file's
// temporary is the image's, an unsynced one's "<target>.XXXXXX" (the names
// the package's removal script knows).
Status WriteFileAtomically(const std::string& target, const std::string& text,
                           Durability durability);

#endif  // NETWORKPROXY_IMAGEFILE_H_
