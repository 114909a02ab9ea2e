// What the chosen programmer cannot do in the selected mode, and what stays because the
// engine does it by reading.

#include "ui/command_availability.h"

#include <gtest/gtest.h>

#include "link/protocol.h"
#include "ui/command_ids.h"

namespace bq {
namespace {

TEST(CommandAvailability, AHighVoltageModeTheProgrammerLacksDisablesTheChipCommands) {
  const std::string noHv =
      "The STK500 version 1 programmer has no high-voltage mode. Choose ISP in the mode list, "
      "or another programmer in the settings.";
  ProgrammerInfo noCalibration = InfoFor(ProgrammerKind::Stk500v1);
  noCalibration.can.calibration = false;
  const struct {
    const ProgrammerInfo& programmer;
    std::uint8_t mode;
    int command;
    std::string why;
  } cases[] = {
      {InfoFor(ProgrammerKind::Stk500v1), PROG_MODE_HVSP, kIdReadChip, noHv},
      {InfoFor(ProgrammerKind::Stk500v1), PROG_MODE_HVPP, kMenuProgram, noHv},
      {InfoFor(ProgrammerKind::Stk500v1), PROG_MODE_HVSP, kIdFuseWrite, noHv},
      {InfoFor(ProgrammerKind::Stk500v1), PROG_MODE_ISP, kIdReadChip, ""},
      {InfoFor(ProgrammerKind::Stk500v1), PROG_MODE_ISP, kIdBlankCheck, ""},  // by reading
      {InfoFor(ProgrammerKind::Stk500v1), PROG_MODE_HVSP, kIdIdentify, ""},   // by signature
      {InfoFor(ProgrammerKind::Stk500v1), PROG_MODE_HVSP, kIdSettings, ""},
      {InfoFor(ProgrammerKind::Stk500v2), PROG_MODE_HVPP, kMenuProgram, ""},
      {InfoFor(ProgrammerKind::Brindlequartz), PROG_MODE_HVSP, kIdCalibrationRead, ""},
      {noCalibration, PROG_MODE_ISP, kIdCalibrationRead,
       "The STK500 version 1 programmer cannot read calibration bytes."},
      {noCalibration, PROG_MODE_ISP, kIdReadChip, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.programmer.name) + " mode " + std::to_string(c.mode) + " id " +
                 std::to_string(c.command));
    EXPECT_EQ(CommandUnavailableText(c.programmer, c.mode, c.command), c.why);
  }
}

// A UPDI part and a programmer without UPDI, or a classic part and the SerialUPDI adapter:
// every chip command says which programmer to choose; Identify and the settings stay. An AVR
// Dx's lock is a key the Lock Bits tab does not hold.
TEST(CommandAvailability, APartTheProgrammerCannotReachDisablesTheChipCommands) {
  PartRecord updi;
  updi.updi.present = true;
  const PartRecord classic;
  const std::string toUpdi =
      "ATtiny1614 is a UPDI part, which the STK500 version 2 programmer cannot reach. Choose "
      "SerialUPDI (USB-serial adapter) in the settings, with the adapter on the chip's UPDI pin.";
  const std::string toClassic =
      "ATmega328P is not a UPDI part: the SerialUPDI programmer cannot program it. Choose a "
      "programmer for the ISP cable or the socket in the settings.";
  PartRecord dx = updi;
  dx.updi.lockSize = 4;
  const std::string keyLock =
      "AVR128DA48 keeps its lock as a 4-byte key, not a lock byte: the Lock Bits tab has "
      "nothing to write. brindlequartz-cli program writes the key from an image's lock section.";
  const ProgrammerInfo& v2 = InfoFor(ProgrammerKind::Stk500v2);
  const ProgrammerInfo& adapter = InfoFor(ProgrammerKind::SerialUpdi);
  const struct {
    const ProgrammerInfo& programmer;
    const char* name;
    const PartRecord* part;
    int command;
    std::string why;
  } cases[] = {
      {v2, "ATtiny1614", &updi, kIdReadChip, toUpdi},
      {v2, "ATtiny1614", &updi, kIdFuseWrite, toUpdi},
      {v2, "ATtiny1614", &updi, kMenuProgram, toUpdi},
      {v2, "ATtiny1614", &updi, kIdIdentify, ""},
      {adapter, "ATtiny1614", &updi, kIdFuseWrite, ""},
      {adapter, "ATtiny1614", &updi, kIdLockRead, ""},
      {adapter, "ATtiny1614", &updi, kIdCalibrationRead,
       "The SerialUPDI programmer cannot read calibration bytes."},
      {adapter, "AVR128DA48", &dx, kIdLockRead, keyLock},
      {adapter, "AVR128DA48", &dx, kIdLockWrite, keyLock},
      {adapter, "AVR128DA48", &dx, kIdFuseWrite, ""},
      {adapter, "ATmega328P", &classic, kIdWriteChip, toClassic},
      {adapter, "ATmega328P", &classic, kIdSettings, ""},
      {adapter, "", nullptr, kIdReadChip, ""},  // no part: nothing to refuse yet
      {v2, "ATmega328P", &classic, kIdReadChip, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.programmer.name) + " " + c.name + " id " +
                 std::to_string(c.command));
    EXPECT_EQ(CommandUnavailableText(c.programmer, PROG_MODE_ISP, c.command, c.name, c.part),
              c.why);
  }
}

}  // namespace
}  // namespace bq
