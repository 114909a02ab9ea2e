#pragma once
// The chip inside the simulated programmer: what a real AVR keeps in its memories.

#include <cstdint>
#include <string>
#include <vector>

#include "parts/part_record.h"

namespace bq {

struct SimChip {
  std::string partName;
  std::uint32_t signature = 0;
  std::uint8_t hvMode = 0;           // 1..3: answers in the socket in this mode only
  std::uint32_t flashPageBytes = 0;  // page size in bytes (words * 2)
  std::uint32_t eepromPageBytes = 0;
  std::vector<std::uint8_t> flash;   // erased: 0xFF
  std::vector<std::uint8_t> eeprom;  // erased: 0xFF
  std::uint8_t low = 0xFF;
  std::uint8_t high = 0xFF;
  std::uint8_t extended = 0xFF;
  std::uint8_t lock = 0xFF;
  // The part's EESAVE field: its bits and the fuse byte (a TargetByte code) that holds
  // them; mask 0 when the part has no such field.
  std::uint8_t eesaveMask = 0;
  std::uint8_t eesaveByte = 0;
  // The part's RSTDISBL field, the same way.
  std::uint8_t rstdisblMask = 0;
  std::uint8_t rstdisblByte = 0;
  // DWEN and SPIEN likewise (mask 0: the part has no such field).
  std::uint8_t dwenMask = 0;
  std::uint8_t dwenByte = 0;
  std::uint8_t spienMask = 0;
  std::uint8_t spienByte = 0;
  // The clock-source field (SUT_CKSEL or CKSEL) and the values of it that choose an
  // external crystal or clock, which the simulated target board does not have.
  std::uint8_t clockMask = 0;
  std::uint8_t clockByte = 0;
  std::vector<std::uint8_t> externalClockValues;  // counted from the mask's lowest bit

  // Erased memories, fuses from the part's defaults (0xFF where none), lock byte 0xFF.
  static SimChip FromPart(const std::string& name, const PartRecord& part);

  // Calibration byte at an address: a fixed pattern, 0xA0 + address (mod 256).
  static std::uint8_t Calibration(std::uint8_t address) {
    return static_cast<std::uint8_t>(0xA0u + address);
  }
  // Lock bits LB1/LB2 programmed (0): flash and EEPROM refuse programming.
  // The fuses are locked too then: a fuse write changes nothing.
  bool WriteLocked() const { return (lock & 0x03u) != 0x03u; }
  // LB1 and LB2 both programmed: flash and EEPROM can no longer be read (verification is
  // disabled). The datasheets do not say what such a read returns; this chip answers 0xFF
  // for every byte, so no program code ever leaves it and a host cannot tell the bytes from
  // an erased chip's except by reading the lock bits first.
  bool ReadLocked() const { return (lock & 0x03u) == 0u; }
  // RSTDISBL programmed: the reset pin is an I/O pin, so ISP cannot put the chip into
  // programming mode; high-voltage programming still can.
  bool ResetDisabled() const { return FieldProgrammed(rstdisblMask, rstdisblByte); }
  // What keeps ISP out, as on a real chip: RSTDISBL or DWEN programmed, SPIEN unprogrammed,
  // or a clock source that is not there (an external crystal or clock selected; nothing
  // feeds XTAL1 on the ISP cable). High-voltage programming reaches the chip all the same.
  bool IspLockedOut() const;
  // The same without RSTDISBL: what a chip takes up when it enters programming mode (the
  // fuses are latched then, so a write takes effect at the next entry).
  bool IspLockedOutAtEntry(bool clockFitted = false) const;
  bool ClockMissing() const;
  // EESAVE programmed (0): a chip erase keeps the EEPROM.
  bool EepromSavedOnErase() const;
  // Flash and lock byte to 0xFF, EEPROM too unless EESAVE is programmed. Fuses stay.
  void Erase();

 private:
  bool FieldProgrammed(std::uint8_t mask, std::uint8_t target) const;
  std::uint8_t Byte(std::uint8_t target) const;
};

// A chip kept in a file between runs, as a real chip keeps its memories between two
// commands: a heading line, the part's name, the fuse and lock bytes in hex, then the flash
// and the EEPROM bytes.
std::string SimChipFileText(const SimChip& chip);
// Puts the memories and fuse and lock bytes of text into chip, a chip of the same part;
// false, chip unchanged, with the reason in *why when text is not such a file or holds
// another part or other memory sizes.
bool LoadSimChipFileText(const std::string& text, SimChip& chip, std::string* why);

}  // namespace bq
