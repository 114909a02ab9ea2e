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

std::string LowerFirst(std::string text) {
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
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
                                   int commandId, const std::string& partName,
                                   const PartRecord* part) {
  if (!IsChipCommand(commandId)) return "";
  const DriverCapabilities& can = programmer.can;
  const std::string who = "The " + ShortTitle(programmer) + " programmer";
  if (part != nullptr && part->IsUpdi() && !can.updi) {
    return partName + " is a UPDI part, which " + LowerFirst(who) + " cannot reach. Choose " +
           InfoFor(ProgrammerKind::SerialUpdi).title +
           " in the settings, with the adapter on the chip's UPDI pin.";
  }
  const bool lockCommand =
      commandId == kIdLockWrite || commandId == kIdLockVerify || commandId == kIdLockRead;
  if (part != nullptr && part->IsUpdi() && part->updi.lockSize != 1 && lockCommand) {
    return partName +
           " keeps its lock as a 4-byte key, not a lock byte: the Lock Bits tab "
           "has nothing to write. brindlequartz-cli program writes the key from an "
           "image's lock section.";
  }
  if (part != nullptr && !part->IsUpdi() && can.updi) {
    return partName + " is not a UPDI part: " + LowerFirst(who) +
           " cannot program it. Choose a programmer for the ISP cable or the socket in the "
           "settings.";
  }
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
