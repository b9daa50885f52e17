#include "InstallOutcome.h"

#include "EventLog.h"
#include "FirmwareFloor.h"
#include "HandOffGuard.h"
#include "SafeReason.h"
#include "ServiceStatus.h"

namespace {

// The floor raised to the controller's version, written when it changed.
std::string RaiseFloor(const std::string& controller) {
  const FloorReading reading = ReadFirmwareFloor(kFirmwareFloorFile);
  if (!reading.problem.ok()) {
    LogLine(std::string("Error: Firmware floor ") + kFirmwareFloorFile + " - " +
            reading.problem.reason() + "; taken as none");
  }
  const std::string floor = RaisedFloor(reading.version, controller);
  if (floor != reading.version) {
    const Status written = WriteFirmwareFloor(kFirmwareFloorFile, floor);
    if (!written.ok()) {
      LogLine(FailureLine((std::string("Error: Writing firmware floor ") + kFirmwareFloorFile).c_str(),
                          written.reason()));
    }
  }
  return floor;
}

// Settles a pending hand-off now that the controller has answered.
void SettleHandOff(const std::string& controller) {
  HandOffRecord record;
  if (controller.empty() || !ReadHandOffRecord(kHandOffRecordFile, &record) ||
      record.result != kHandOffPending) {
    return;
  }
  const bool installed = controller == record.version;
  record.result = installed ? kHandOffInstalled : kHandOffFailed;
  if (installed) {
    const std::string line = "Firmware " + record.version + " installed";
    LogLine(line);
    service_status().Announce(line);
    service_status().NoteInstall(true, line);
  } else {
    LogLine(StillOldLine(record, controller));
    service_status().NoteInstall(false, std::string());
  }
  const Status written = WriteHandOffRecord(kHandOffRecordFile, record);
  if (!written.ok()) {
    LogLine(FailureLine("Error: Recording the install outcome", written.reason()));
  }
  if (!ShouldHold(record)) return;
  const Status held = HoldVersion(kHeldVersionFile, record.version);
  if (!held.ok()) {
    LogLine(FailureLine(("Error: Holding firmware " + record.version).c_str(), held.reason()));
    return;
  }
  LogLine(HeldLine(record.version));
}

}  // namespace

std::string SettleFirmwareAtStart(const std::string& controller) {
  const std::string floor = RaiseFloor(controller);
  SettleHandOff(controller);
  service_status().SetFirmwareFloor(floor);
  service_status().SetFirmwareHeld(!ReadHeldVersion(kHeldVersionFile).empty());
  return floor;
}
