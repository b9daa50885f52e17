#include "HandOffGuard.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "ImageFile.h"
#include "SmallFile.h"

namespace {

// A record or a hold is a few short lines.
constexpr std::size_t kMaxStateFileBytes = 4096;

bool ReadNumber(const std::string& text, long long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end != text.c_str() && *end == '\0';
}

bool IsResult(const std::string& text) {
  return text == kHandOffPending || text == kHandOffInstalled || text == kHandOffFailed;
}

}  // namespace

bool ParseHandOffRecord(const std::string& text, HandOffRecord* record) {
  std::istringstream in(text);
  std::string version;
  std::string time;
  if (!std::getline(in, version) || !std::getline(in, time) || version.empty()) return false;
  long long seconds = 0;
  if (!ReadNumber(time, &seconds)) return false;
  HandOffRecord read{version, static_cast<std::time_t>(seconds)};
  std::string attempts;
  if (std::getline(in, attempts)) {
    long long count = 0;
    std::string result;
    if (!ReadNumber(attempts, &count) || count < 1 || count > 1000 ||
        !std::getline(in, result) || !IsResult(result)) {
      return false;
    }
    read.attempts = static_cast<int>(count);
    read.result = result;
  }
  *record = read;
  return true;
}

bool ReadHandOffRecord(const char* path, HandOffRecord* record) {
  std::string text;
  return ReadSmallFileNoFollow(path, kMaxStateFileBytes, text) == 0 &&
         ParseHandOffRecord(text, record);
}

Status WriteHandOffRecord(const char* path, const HandOffRecord& record) {
  const std::string text = record.version + "\n" +
                           std::to_string(static_cast<long long>(record.time)) + "\n" +
                           std::to_string(record.attempts) + "\n" + record.result + "\n";
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

bool ShouldHold(const HandOffRecord& record) {
  return record.result == kHandOffFailed && record.attempts >= kMaxInstallAttempts;
}

int NextHandOffAttempt(const HandOffRecord* last, const std::string& version) {
  if (last == nullptr || last->version != version || ShouldHold(*last)) return 1;
  return last->attempts + 1;
}

std::string ReadHeldVersion(const char* path) {
  std::string text;
  if (ReadSmallFileNoFollow(path, kMaxStateFileBytes, text) != 0) return std::string();
  return text.substr(0, text.find('\n'));
}

Status HoldVersion(const char* path, const std::string& version) {
  return WriteFileAtomically(path, version + "\n", Durability::kSynced);
}

Status EndHold(const char* path) {
  struct stat info {};
  if (lstat(path, &info) != 0) return errno == ENOENT ? Status::Ok() : Status::FromErrno(errno);
  if (!S_ISREG(info.st_mode)) return Status::Error("not a regular file");
  if (unlink(path) != 0 && errno != ENOENT) return Status::FromErrno(errno);
  return Status::Ok();
}

std::string StillOldLine(const HandOffRecord& record, const std::string& controller) {
  // The time as the log writes times.
  std::tm local{};
  localtime_r(&record.time, &local);
  char when[64] = {0};
  std::strftime(when, sizeof when, "%Y-%m-%d %X", &local);
  return "Error: Update to " + record.version + " was handed off at " + when +
         "; the controller still reports " + (!controller.empty() ? controller : "no version");
}

std::string HeldLine(const std::string& version) {
  return "Firmware " + version + " held after " + std::to_string(kMaxInstallAttempts) +
         " failed installs - publish a newer version or run networkproxyctl firmware retry";
}
