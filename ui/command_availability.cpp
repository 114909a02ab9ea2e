#include "ui/command_availability.h"

#include "link/protocol.h"
#include "ui/command_ids.h"

namespace bq {

namespace {

// "STK500 version 1" of "STK500 version 1 (Arduino as ISP)".
std::string ShortTitle(const ProgrammerInfo& programmer) {
  std::string title = programmer.title;
  const std::size_t bracket = title.find(" (");
  if (bracket != std::string::npos) title.resize(bracket);
  const std::string suffix = " programmer";
  if (title.size() > suffix.size() &&
      title.compare(title.size() - suffix.size(), suffix.size(), suffix) == 0) {
    title.resize(title.size() - suffix.size());
  }
  return title;
}

constexpr int kChipCommands[] = {
    kIdWriteChip,  kIdReadChip,     kIdBlankCheck, kIdVerifyChip, kIdEraseChip, kMenuWrite,
    kMenuRead,     kMenuBlankCheck, kMenuErase,    kMenuVerify,   kMenuProgram, kIdFuseWrite,
    kIdFuseVerify, kIdFuseRead,     kIdLockWrite,  kIdLockVerify, kIdLockRead,  kIdCalibrationRead};

}  // namespace

bool IsChipCommand(int commandId) {
  for (int id : kChipCommands) {
    if (id == commandId) return true;
  }
  return false;
}

std::string CommandUnavailableText(const ProgrammerInfo& programmer, std::uint8_t mode,
                                   int commandId) {
  if (!IsChipCommand(commandId)) return "";
  const DriverCapabilities& can = programmer.can;
  const std::string who = "The " + ShortTitle(programmer) + " programmer";
  const bool parallel = mode == PROG_MODE_HVPP || mode == PROG_MODE_HVPP2;
  const bool serial = mode == PROG_MODE_HVSP;
  if ((parallel && !can.highVoltageParallel) || (serial && !can.highVoltageSerial)) {
    const char* kind = !can.highVoltageParallel && !can.highVoltageSerial ? "high-voltage"
                       : parallel                                         ? "high-voltage parallel"
                                                                          : "high-voltage serial";
    return who + " has no " + kind +
           " mode. Choose ISP in the mode list, or another programmer in the settings.";
  }
  if (commandId == kIdCalibrationRead && !can.calibration) {
    return who + " cannot read calibration bytes.";
  }
  return "";
}

}  // namespace bq
