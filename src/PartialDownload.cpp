#include "PartialDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <vector>

#include "SmallFile.h"
#include "WriteAll.h"

namespace {

constexpr mode_t kPartMode = 0640;
constexpr std::size_t kMaxEtagBytes = 128;
// An ETag line, a size line, a version line, a checksum line and their
// line ends.
constexpr std::size_t kMaxRecordBytes = 3 * kMaxEtagBytes + 32;

// An optional record field: empty, or what IsUsableEtag accepts.
bool IsUsableField(const std::string& text) { return text.empty() || IsUsableEtag(text); }

// The record's lines, each without its line end; none when the record does
// not end with one.
std::vector<std::string> RecordLines(const std::string& record) {
  std::vector<std::string> lines;
  if (record.empty() || record.back() != '\n') return lines;
  std::size_t begin = 0;
  while (begin < record.size()) {
    const std::size_t end = record.find('\n', begin);
    lines.push_back(record.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

// A decimal number that fits in 64 bits, nothing else.
bool ParseCount(const std::string& text, std::uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

Status Removed(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return Status::Ok();
  return Status::FromErrno(errno, path);
}

// Writes `data` to `path` opened with `flags` (never through a symbolic
// link), leaving it mode 0640 whatever the umask.
Status WriteFile(const std::string& path, int flags, const std::string& data) {
  const int fd = open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, kPartMode);
  if (fd < 0) return Status::FromErrno(errno, path);
  Status status;
  if (fchmod(fd, kPartMode) != 0) {
    status = Status::FromErrno(errno, path);
  } else {
    status = WriteAll(fd, data.data(), data.size());
  }
  if (close(fd) != 0 && status.ok()) status = Status::FromErrno(errno, path);
  return status;
}

struct Range {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t total = 0;
};

// "bytes <first>-<last>/<total>" with first <= last < total.
bool ParseContentRange(const std::string& value, Range* out) {
  const std::string prefix = "bytes ";
  if (value.compare(0, prefix.size(), prefix) != 0) return false;
  const std::size_t dash = value.find('-', prefix.size());
  const std::size_t slash = value.find('/', prefix.size());
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  return ParseCount(value.substr(prefix.size(), dash - prefix.size()), &out->first) &&
         ParseCount(value.substr(dash + 1, slash - dash - 1), &out->last) &&
         ParseCount(value.substr(slash + 1), &out->total) && out->first <= out->last &&
         out->last < out->total;
}

}  // namespace

std::string PartPath(const std::string& image_path) { return image_path + ".part"; }

std::string PartRecordPath(const std::string& image_path) { return image_path + ".part.etag"; }

bool IsUsableEtag(const std::string& etag) {
  if (etag.empty() || etag.size() > kMaxEtagBytes) return false;
  for (char c : etag) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

HeldPartResult LoadPart(const std::string& image_path) {
  HeldPartResult out;
  const std::string record_path = PartRecordPath(image_path);
  std::string record;
  const int error = ReadSmallFile(record_path.c_str(), kMaxRecordBytes, record);
  if (error == ENOENT) return out;
  if (error != 0) {
    out.status = Status::FromErrno(error, record_path);
    return out;
  }
  const std::vector<std::string> lines = RecordLines(record);
  HeldPart part;
  if ((lines.size() != 2 && lines.size() != 4) || !IsUsableEtag(lines[0]) ||
      !ParseCount(lines[1], &part.total) ||
      (lines.size() == 4 && (!IsUsableField(lines[2]) || !IsUsableField(lines[3])))) {
    out.status = Status::Error(record_path + ": not an ETag and a size");
    return out;
  }
  part.etag = lines[0];
  if (lines.size() == 4) {
    part.version = lines[2];
    part.checksum_sha256 = lines[3];
  }

  const std::string part_path = PartPath(image_path);
  struct stat info {};
  if (lstat(part_path.c_str(), &info) != 0) {
    if (errno != ENOENT) out.status = Status::FromErrno(errno, part_path);
    return out;
  }
  if (!S_ISREG(info.st_mode)) {
    out.status = Status::Error(part_path + ": not a regular file");
    return out;
  }
  part.size = static_cast<std::uint64_t>(info.st_size);
  if (part.size > part.total) {
    out.status = Status::Error(part_path + ": longer than the object");
    return out;
  }
  out.part = part;
  return out;
}

Status StartPart(const std::string& image_path, const std::string& etag, std::uint64_t total,
                 const std::string& data, const std::string& version,
                 const std::string& checksum_sha256) {
  if (!IsUsableEtag(etag)) return Status::Error("ETag not usable in a request");
  if (!IsUsableField(version) || !IsUsableField(checksum_sha256)) {
    return Status::Error("version or checksum not one word");
  }
  if (data.size() > total) return Status::Error("more bytes than the object has");
  // The old record goes first: from here until the new one is in place,
  // the part describes no object.
  Status status = Removed(PartRecordPath(image_path));
  if (status.ok()) status = WriteFile(PartPath(image_path), O_CREAT | O_TRUNC, data);
  if (!status.ok()) return status;
  const std::string record_path = PartRecordPath(image_path);
  const std::string temp_path = record_path + ".tmp";
  status = WriteFile(temp_path, O_CREAT | O_TRUNC,
                     etag + "\n" + std::to_string(total) + "\n" + version + "\n" +
                         checksum_sha256 + "\n");
  if (status.ok() && rename(temp_path.c_str(), record_path.c_str()) != 0) {
    status = Status::FromErrno(errno, record_path);
  }
  if (!status.ok()) unlink(temp_path.c_str());
  return status;
}

Status AppendPart(const std::string& image_path, const std::string& data) {
  // No O_CREAT: bytes from the middle of an object never start a part.
  return WriteFile(PartPath(image_path), O_APPEND, data);
}

Status ReadPart(const std::string& image_path, const HeldPart& part, std::string* data) {
  const std::string part_path = PartPath(image_path);
  const int error = ReadSmallFile(part_path.c_str(), part.size, *data);
  if (error == EFBIG) return Status::Error(part_path + ": longer than recorded");
  if (error != 0) return Status::FromErrno(error, part_path);
  if (data->size() != part.size) return Status::Error(part_path + ": shorter than recorded");
  return Status::Ok();
}

Status DiscardPart(const std::string& image_path) {
  const Status record = Removed(PartRecordPath(image_path));
  if (!record.ok()) return record;
  return Removed(PartPath(image_path));
}

std::string RangeHeader(const HeldPart& part) {
  return "Range: bytes=" + std::to_string(part.size) + "-";
}

std::string IfMatchHeader(const HeldPart& part) { return "If-Match: " + part.etag; }

ResumeAnswer DecideResume(long http_status, const std::string& content_range,
                          const HeldPart& part) {
  Range range;
  if (http_status == 206 && ParseContentRange(content_range, &range) &&
      range.first == part.size && range.total == part.total && range.last + 1 == range.total) {
    return ResumeAnswer::kAppend;
  }
  return ResumeAnswer::kStartOver;
}
