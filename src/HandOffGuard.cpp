#include "HandOffGuard.h"


#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "ImageFile.h"

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

Status WriteHandOffRecord(const char* path, const HandOffRecord& record) {
  const std::string text =
      record.version + "\n" + std::to_string(static_cast<long long>(record.time)) + "\n";
  // The record must survive the reboot a flash may cause: written whole,
  // synced and renamed like an image.
  return WriteFileAtomically(path, text, Durability::kSynced);
}

bool HandOffHeldBack(const HandOffRecord& record, const std::string& version, std::time_t now) {
  if (record.version != version) return false;
  const auto guard = std::chrono::duration_cast<std::chrono::seconds>(kHandOffGuardTime).count();
  const long long since = static_cast<long long>(now) - static_cast<long long>(record.time);
  return since < guard && since > -guard;
}
