#pragma once
// What the program knows about one chip, as read from the part list.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bq {

// Which configuration byte a field or a request concerns; the same codes select bytes on the wire.
enum TargetByte : std::uint8_t {
  kTargetLow = 1,
  kTargetHigh = 2,
  kTargetExtended = 3,
  kTargetLockBit = 4,
};

struct EnumChoice {
  std::uint8_t value = 0;  // counted from the lowest set bit of the field's mask
  std::string text;
  std::string name;  // the value's own name (ENABLED, UPDI, ...); UPDI fuse fields only
};

struct BitFieldDesc {
  std::string name;
  std::string text;
  std::uint8_t mask = 0;
  bool isEnumerator = false;
  std::map<std::uint32_t, EnumChoice> choices;  // by sequence number, file order
  std::uint8_t targetByte = 0;                  // a TargetByte code
};

struct OsccalEntry {
  std::string label;
  std::uint8_t address = 0;
};

using BitFieldMap = std::map<std::uint32_t, BitFieldDesc>;
using OsccalMap = std::map<std::uint32_t, OsccalEntry>;

// One configuration byte of a UPDI part, by its name (WDTCFG, BODCFG, SYSCFG0, ...).
struct NamedFuseByte {
  std::string name;
  std::uint8_t offset = 0;  // from UpdiLayout::fuseBase
  bool hasDefault = false;
  std::uint8_t defaultValue = 0;
  std::string text;                  // the vendor's caption, e.g. "System Configuration 0"
  // File order; targetByte unused. None for a byte that is one number (APPEND, BOOTSIZE).
  std::vector<BitFieldDesc> fields;
};

// Where a UPDI part keeps its memories in the UPDI address space, and what its NVM
// controller and UPDI pin are. Absent (present == false) on every classic part.
struct UpdiLayout {
  bool present = false;
  std::uint8_t nvmVersion = 0;  // 0 tinyAVR and megaAVR 0, 2 AVR DA/DB
  // Where UPDI reaches flash byte 0: 0x8000 tinyAVR, 0x4000 megaAVR 0, 0x800000 AVR Dx.
  std::uint32_t flashBase = 0;
  std::uint32_t eepromBase = 0;
  std::uint32_t userRowBase = 0;
  std::uint32_t userRowSize = 0;
  std::uint32_t sigRowBase = 0;
  std::uint32_t fuseBase = 0;
  std::uint32_t lockBase = 0;
  std::uint8_t lockSize = 1;            // 1 byte, or a 4-byte key on AVR Dx
  std::uint32_t lockOpenValue = 0xC5;   // the value that leaves the chip open (0x5CC5C55C on AVR Dx)
  // The UPDI pin doubles as RESET or GPIO: a fuse can turn UPDI off, and only high-voltage
  // activation reaches the chip then. pinFuse/pinField name the fuse field that chooses it.
  bool pinShared = false;
  std::string pinFuse;
  std::string pinField;
  std::uint8_t pinUpdiValue = 0;  // the pinField value (counted from its mask's lowest bit) that keeps UPDI
  std::vector<NamedFuseByte> fuses;  // by offset
};

struct PartRecord {
  std::uint32_t signature = 0;
  bool hasDefaultLow = false;
  bool hasDefaultHigh = false;
  bool hasDefaultExtended = false;
  BitFieldMap fuseBits;
  BitFieldMap lockBits;
  OsccalMap osccal;
  std::uint8_t defaultLow = 0;
  std::uint8_t defaultHigh = 0;
  std::uint8_t defaultExtended = 0;
  // Page sizes are kept as the list gives them, so a part whose pages a transfer cannot carry
  // is refused rather than programmed with a page size cut to 8 bits.
  std::uint32_t flashPageSizeW = 0;
  std::uint32_t flashNoOfPages = 0;
  std::uint32_t eepromPageSize = 0;
  std::uint32_t eepromNoOfPages = 0;
  std::uint8_t hvMode = 0;  // 1, 2 parallel, 3 serial, anything else: ISP only
  UpdiLayout updi;          // UPDI parts only; classic parts leave it absent

  // Memory sizes in bytes, 0xFFFFFFFF when larger than 32 bits can say.
  std::uint32_t FlashBytes() const { return Saturated(std::uint64_t{flashPageSizeW} * 2u * flashNoOfPages); }
  std::uint32_t EepromBytes() const { return Saturated(std::uint64_t{eepromPageSize} * eepromNoOfPages); }
  static std::uint32_t Saturated(std::uint64_t bytes) {
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bytes);
  }
  bool HasHighVoltageMode() const { return hvMode >= 1 && hvMode <= 3; }
  bool IsUpdi() const { return updi.present; }
};

}  // namespace bq
