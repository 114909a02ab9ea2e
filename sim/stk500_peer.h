#pragma once
// What the simulated STK500 programmers (version 1 and 2) share: where the chip sits, and
// the faults a test can make them show.

#include <cstdint>
#include <vector>

#include "sim/sim_isp_target.h"
#include "sim/sim_programmer.h"  // SimConnect

namespace bq {

enum class Stk500FaultKind {
  kSilence,        // no answer at all; the command is not carried out
  kGarbage,        // carried out, but every byte of the answer is scrambled (XOR 0xA5)
  kBadChecksum,    // version 2: carried out, the answer frame's checksum is wrong
                   // (version 1 has no checksum: treated as kGarbage)
  kDeviceFailure,  // not carried out; answered INSYNC FAILED (v1) or id, STATUS_CMD_FAILED (v2)
};

struct Stk500Fault {
  std::uint8_t command = 0;  // the command code it hits; 0: every command
  Stk500FaultKind kind = Stk500FaultKind::kSilence;
  std::uint32_t occurrence = 0;  // 0: every time; N: only the Nth such command (from 1)
};

struct Stk500PeerOptions {
  // kIsp: the chip is on the ISP cable (answers ISP unless its fuses lock ISP out);
  // kSocket: in the socket (answers the high-voltage mode of its part only).
  SimConnect connect = SimConnect::kIsp;
  bool chipPresent = true;  // false: nothing on the cable or in the socket
  bool chipBusy = false;    // the chip never finishes a write (polling times out)
  // Fuse fields that lock the serial interface out (IspLockoutFields of the part).
  std::vector<IspLockoutField> ispLockout;
  std::vector<Stk500Fault> faults;
};

// The fault for the occurrence-th command with this code (counted from 1), or nullptr.
inline const Stk500Fault* FindStk500Fault(const std::vector<Stk500Fault>& faults,
                                          std::uint8_t command, std::uint32_t occurrence) {
  for (const Stk500Fault& f : faults) {
    if (f.command != 0 && f.command != command) continue;
    if (f.occurrence != 0 && f.occurrence != occurrence) continue;
    return &f;
  }
  return nullptr;
}

}  // namespace bq
