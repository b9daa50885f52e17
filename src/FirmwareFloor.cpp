#include "FirmwareFloor.h"

#include <cerrno>

#include "ImageFile.h"
#include "SmallFile.h"
#include "VersionOrder.h"

namespace {

// One version and its line end; anything longer is not a floor.
constexpr std::size_t kMaxFloorFileBytes = 256;

}  // namespace

FloorReading ReadFirmwareFloor(const char* path) {
  FloorReading reading;
  std::string text;
  const int error = ReadSmallFileNoFollow(path, kMaxFloorFileBytes, text);
  if (error == ENOENT) return reading;
  if (error != 0) {
    reading.problem = error == kNotRegularFile ? Status::Error("not a regular file")
                                               : Status::FromErrno(error);
    return reading;
  }
  const std::string line = text.substr(0, text.find('\n'));
  if (!IsReleaseNumber(line)) {
    reading.problem = Status::Error("no release number in it");
    return reading;
  }
  reading.version = line;
  return reading;
}

std::string RaisedFloor(const std::string& floor, const std::string& controller) {
  if (!IsReleaseNumber(controller)) return floor;
  if (floor.empty() || CompareVersions(controller, floor) > 0) return controller;
  return floor;
}

Status WriteFirmwareFloor(const char* path, const std::string& version) {
  // Synced: a flash, and the reboot it may bring, can follow soon after.
  return WriteFileAtomically(path, version + "\n", Durability::kSynced);
}
