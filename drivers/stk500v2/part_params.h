#pragma once
// What an STK500 version 2 programmer is told about a part with each programming command:
// delays, poll values and instruction bytes, as the vendor's device files give them
// (generated into part_params.inc by tools/partlist/stk500v2_params.py).

#include <cstdint>
#include <string_view>

namespace bq::stk500v2 {

struct IspParams {
  std::uint8_t timeout, stabDelay, cmdexeDelay, synchLoops, byteDelay, pollValue, pollIndex;
  std::uint8_t preDelay, postDelay;
  std::uint8_t eraseDelay, erasePollMethod;
  std::uint8_t flashMode, flashDelay, flashCmd1, flashCmd2, flashCmd3, flashPoll1, flashPoll2;
  std::uint8_t eepromMode, eepromDelay, eepromCmd1, eepromCmd2, eepromCmd3, eepromPoll1,
      eepromPoll2;
  std::uint8_t readFusePollIndex, readLockPollIndex, readSignPollIndex, readOsccalPollIndex;
};

struct PpParams {
  std::uint8_t stabDelay, progModeDelay, latchCycles, toggleVtg, powerOffDelay, resetDelayMs,
      resetDelayUs;
  std::uint8_t leaveStabDelay, leaveResetDelay;
  std::uint8_t erasePulseWidth, erasePollTimeout;
  std::uint8_t flashPollTimeout, flashMode, eepromPollTimeout, eepromMode;
  std::uint8_t fusePulseWidth, fusePollTimeout, lockPulseWidth, lockPollTimeout;
};

struct HvspParams {
  std::uint8_t stabDelay, cmdexeDelay, synchCycles, latchCycles, toggleVtg, powoffDelay,
      resetDelay1, resetDelay2;
  std::uint8_t leaveStabDelay, leaveResetDelay;
  std::uint8_t erasePollTimeout, eraseTime;
  std::uint8_t flashMode, flashPollTimeout, eepromMode, eepromPollTimeout;
  std::uint8_t fusePollTimeout, lockPollTimeout;
};

struct PartParams {
  const char* part;
  IspParams isp;
  bool hasPp;
  PpParams pp;
  bool hasHvsp;
  HvspParams hvsp;
};

// The parameters of a part by its name in the part list; null for a part the table does not
// have (a part list of the user's own), which then gets GenericParams().
const PartParams* FindPartParams(std::string_view part);
// Cautious values for a part without device-file parameters: long delays, RDY/BSY polling.
const PartParams& GenericParams();

}  // namespace bq::stk500v2
