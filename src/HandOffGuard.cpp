#include "HandOffGuard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "ChildProcess.h"

bool ReadHandOffRecord(const char* path, HandOffRecord* record) {
  std::ifstream in(path);
  std::string version;
  std::string time;
  if (!std::getline(in, version) || !std::getline(in, time) || version.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long seconds = std::strtoll(time.c_str(), &end, 10);
  if (errno != 0 || end == time.c_str() || *end != '\0') return false;
  record->version = version;
  record->time = static_cast<std::time_t>(seconds);
  return true;
}

bool WriteHandOffRecord(const char* path, const HandOffRecord& record) {
  const std::string temp = std::string(path) + ".tmp";
  const std::string text =
      record.version + "\n" + std::to_string(static_cast<long long>(record.time)) + "\n";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  int saved = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path) != 0) {
    saved = errno;
    ok = false;
  }
  if (!ok) {
    unlink(temp.c_str());
    errno = saved;
  }
  return ok;
}

bool HandOffHeldBack(const HandOffRecord& record, const std::string& version, std::time_t now) {
  if (record.version != version) return false;
  const auto guard = std::chrono::duration_cast<std::chrono::seconds>(kHandOffGuardTime).count();
  const long long since = static_cast<long long>(now) - static_cast<long long>(record.time);
  return since < guard && since > -guard;
}
