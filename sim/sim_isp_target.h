#pragma once
// A simulated AVR on the ISP lines: takes the 4-byte serial programming instructions one byte
// at a time, shifts a byte back for every byte in, and carries them out on a SimChip. Used
// by the simulated programmers that pass the host's instructions through (STK500 version 1
// and 2), so a wrong instruction from the host has the effect it would have on a real chip.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parts/part_record.h"
#include "sim/sim_chip.h"

namespace bq {

// A fuse field that shuts the serial interface out (RSTDISBL, DWEN programmed; SPIEN
// unprogrammed). `byte` is a TargetByte code.
struct IspLockoutField {
  std::uint8_t byte = 0;
  std::uint8_t mask = 0;
  bool locksWhenProgrammed = true;
};

// The part's fields that lock ISP out, by their names in the part list.
std::vector<IspLockoutField> IspLockoutFields(const PartRecord& part);

class SimIspTarget {
 public:
  explicit SimIspTarget(SimChip& chip) : chip_(chip) {}

  // Whether the chip hears the ISP lines at all (on the cable, present). Checked, with the
  // lock-out fuses, when RESET is pulled low to enter programming mode.
  void SetConnected(bool connected) { connected_ = connected; }
  void SetLockoutFields(std::vector<IspLockoutField> fields) { lockout_ = std::move(fields); }
  // A chip that never finishes a write: RDY/BSY stays 1 and value polling reads the poll value.
  void SetStuckBusy(bool busy) { stuckBusy_ = busy; }
  bool StuckBusy() const { return stuckBusy_; }

  // RESET low: the chip listens for Programming Enable (if it is reachable at all). The
  // instruction frame starts at the next byte.
  void ResetLow();
  // RESET high: back to normal operation; nothing is listened to.
  void Release();
  bool Listening() const { return listening_; }
  bool Enabled() const { return enabled_; }

  // One byte in on MOSI, the byte out on MISO at the same time.
  std::uint8_t Shift(std::uint8_t in);
  // A whole instruction; returns the four bytes shifted out.
  std::vector<std::uint8_t> Transfer(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                     std::uint8_t b4);

  std::uint8_t ExtendedAddress() const { return extended_; }

 private:
  bool LockedOut() const;
  std::uint8_t FuseByte(std::uint8_t code) const;
  std::uint8_t ReadOut() const;  // byte 4 of the instruction in frame_[0..2]
  void Execute();                // after byte 4
  std::uint32_t WordAddress() const;

  SimChip& chip_;
  std::vector<IspLockoutField> lockout_;
  bool connected_ = true;
  bool listening_ = false;
  bool enabled_ = false;
  bool stuckBusy_ = false;
  std::uint8_t frame_[4] = {};
  std::size_t position_ = 0;
  std::uint8_t extended_ = 0;
  std::vector<int> flashBuffer_;  // page buffer, -1: not loaded
  std::vector<int> eepromBuffer_;
};

}  // namespace bq
