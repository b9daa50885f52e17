// FirmwareFloor: the highest release the controller has reported, kept in
// the daemon's working folder so that the downgrade rule holds on a start
// where the controller stays silent.
//
// The file is the daemon's own guard and lives in a folder the service user
// writes: whoever runs as that user could lower it, so a damaged file is
// reported and taken as absent, and the update script keeps a floor of its
// own as root. Threads: any; the daemon uses it at start-up only.
#ifndef NETWORKPROXY_FIRMWAREFLOOR_H_
#define NETWORKPROXY_FIRMWAREFLOOR_H_

#include <string>

#include "Status.h"

// The floor's file name, relative to the working folder.
constexpr const char* kFirmwareFloorFile = "firmware-floor.txt";

// The floor as read: `version` empty when there is none; `problem` says why
// a file that exists could not be taken (then `version` is empty too).
struct FloorReading {
  std::string version;
  Status problem;
};

// Reads the floor at `path`: one release number on the first line. No
// symbolic link is followed and only a regular file read.
FloorReading ReadFirmwareFloor(const char* path);

// The floor once the controller has reported `controller`: the higher of the
// two releases. A controller version that is no release number leaves it.
std::string RaisedFloor(const std::string& floor, const std::string& controller);

// Replaces the floor at `path` whole (mode 0640, synced).
Status WriteFirmwareFloor(const char* path, const std::string& version);

#endif  // NETWORKPROXY_FIRMWAREFLOOR_H_
