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

}  // namespace
}  // namespace bq
